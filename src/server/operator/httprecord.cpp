// The request and reply records the operator's handlers work on, the shape
// of an operator route, and log text that cannot forge a line.
#include <cstdio>

#include "server/operator/operatorruntime.h"

namespace {

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
        };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string HttpRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (sameName(key, name)) {
            return value;
        }
    }
    return std::string();
}

void HttpResponse::setHeader(const std::string& name, const std::string& value) {
    for (auto& [key, existing] : headers) {
        if (sameName(key, name)) {
            existing = value;
            return;
        }
    }
    headers.emplace_back(name, value);
}

std::string logText(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            line += escaped;
        } else {
            line += c;
        }
    }
    return line;
}

HttpRoute operatorRoute(const char* method, const char* pattern, RouteWork work, HttpHandler handler) {
    HttpRoute route;
    route.method = method;
    route.pattern = pattern;
    route.mostBody = route.method == "POST" ? OPERATOR_MOST_BODY : 0;
    route.work = work;
    route.audience = RouteAudience::OPERATOR;
    route.handler = std::move(handler);
    return route;
}
