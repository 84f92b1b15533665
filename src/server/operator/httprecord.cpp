// The request and reply records the operator's handlers work on, the shape
// of an operator route, and log text that cannot forge a line.

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
