// Reading a request: the target split into its decoded path and query, the
// route that answers it, and the request read with Beast's parser as its
// bytes arrive, header first, so that a body is read only up to what its
// route accepts and only once the route is known.
#include <algorithm>

#include "server/http/http.h"

namespace http = boost::beast::http;

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Percent escapes (and '+' as a space in a query); false on a broken
// escape or a NUL.
bool percentDecode(std::string_view text, bool plusIsSpace, std::string* decoded) {
    decoded->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                return false;
            }
            c = static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            c = ' ';
        }
        if (c == '\0') {
            return false;
        }
        decoded->push_back(c);
    }
    return true;
}

// Fills the request from the parser's finished message.
void takeMessage(RequestReader* reader) {
    http::request<http::string_body> message = reader->parser.release();
    HttpRequest& request = reader->request;
    request.headers.clear();
    for (const auto& field : message) {
        std::string name(field.name_string());
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; });
        request.headers.emplace_back(std::move(name), std::string(field.value()));
    }
    request.body = std::move(message.body());
}

ReadStep refuse(RequestReader* reader, int32_t status) {
    reader->refusal = status;
    return ReadStep::REFUSED;
}

// The header is complete: its target decoded and its route found, the body
// limited to what the route accepts.
ReadStep headerRead(RequestReader* reader, const RouteTable& table) {
    HttpRequest& request = reader->request;
    const auto& header = reader->parser.get();
    request.method = std::string(header.method_string());
    request.target = std::string(header.target());
    if (!decodeTarget(request.target, &request.path, &request.query)) {
        return refuse(reader, 400);
    }
    int32_t status = 0;
    reader->route = findRoute(table, request.method, request.path, &request.matches, &status);
    if (reader->route == nullptr) {
        return refuse(reader, status);
    }
    const size_t most = reader->route->mostBody;
    const auto length = reader->parser.content_length();
    if ((length && *length > most) || (reader->parser.chunked() && most == 0)) {
        return refuse(reader, 413);
    }
    reader->parser.body_limit(most);
    reader->parser.eager(true);
    return ReadStep::HEADER;
}

}  // namespace

bool decodeTarget(const std::string& target, std::string* path, std::map<std::string, std::string>* query) {
    query->clear();
    if (target.empty() || target[0] != '/') {
        return false;
    }
    const size_t mark = target.find('?');
    if (!percentDecode(std::string_view(target).substr(0, mark), false, path)) {
        return false;
    }
    if (mark == std::string::npos) {
        return true;
    }
    std::string_view rest = std::string_view(target).substr(mark + 1);
    while (!rest.empty()) {
        const size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        const size_t equals = pair.find('=');
        std::string name;
        std::string value;
        if (!percentDecode(pair.substr(0, equals), true, &name) ||
            (equals != std::string_view::npos && !percentDecode(pair.substr(equals + 1), true, &value))) {
            return false;
        }
        if (!name.empty()) {
            query->emplace(std::move(name), std::move(value));
        }
    }
    return true;
}

void routeTableBuild(RouteTable* table, std::vector<HttpRoute> routes) {
    table->routes = std::move(routes);
    table->patterns.clear();
    for (const HttpRoute& route : table->routes) {
        table->patterns.emplace_back(route.pattern, std::regex::ECMAScript | std::regex::optimize);
    }
}

const HttpRoute* findRoute(const RouteTable& table, const std::string& method, const std::string& path,
                           std::vector<std::string>* matches, int32_t* status) {
    *status = 404;
    std::smatch found;
    for (size_t i = 0; i < table.routes.size(); ++i) {
        if (!std::regex_match(path, found, table.patterns[i])) {
            continue;
        }
        if (table.routes[i].method != method) {
            *status = 405;
            continue;
        }
        matches->clear();
        for (const auto& group : found) {
            matches->push_back(group.str());
        }
        return &table.routes[i];
    }
    return nullptr;
}

void requestReaderStart(RequestReader* reader) {
    reader->parser.header_limit(MOST_HEADER_BYTES);
    reader->parser.eager(false);
}

ReadStep requestReaderFeed(RequestReader* reader, const RouteTable& table, const char* data, size_t size) {
    reader->pending.append(data, size);
    while (true) {
        if (reader->parser.is_done()) {
            takeMessage(reader);
            return ReadStep::DONE;
        }
        if (reader->pending.empty() && (reader->route != nullptr || size == 0)) {
            return ReadStep::MORE;
        }
        boost::beast::error_code error;
        const size_t used = reader->parser.put(boost::asio::buffer(reader->pending), error);
        reader->pending.erase(0, used);
        if (error == http::error::need_more) {
            if (reader->pending.size() > MOST_HEADER_BYTES && !reader->parser.is_header_done()) {
                return refuse(reader, 431);
            }
            return ReadStep::MORE;
        }
        if (error == http::error::header_limit) {
            return refuse(reader, 431);
        }
        if (error == http::error::body_limit) {
            return refuse(reader, 413);
        }
        if (error) {
            return refuse(reader, 400);
        }
        if (reader->route == nullptr && reader->parser.is_header_done()) {
            return headerRead(reader, table);
        }
        if (used == 0 && !reader->parser.is_done()) {
            return ReadStep::MORE;
        }
    }
}
