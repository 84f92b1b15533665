// Logging in to the operator's page: the login form with its own CSRF
// token, password checks slowed after failures, sessions held in memory
// behind an HttpOnly, SameSite=Strict cookie, the CSRF token every change
// from the page must carry, bearer tokens for other systems, and the page
// files themselves.
#include <sodium.h>

#include "server/operator/operatorruntime.h"

// The page files, built into the program from src/server/operator/page/.
const char* operatorPageHtml();
const char* operatorLoginHtml();
const char* operatorScript();
const char* operatorStyle();

// Headers every page reply carries: no inline scripts, no framing, no
// guessing of content types, nothing cached.
void pageHeaders(httplib::Response& response) {
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                        "frame-ancestors 'none'; form-action 'self'; base-uri 'none'");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("X-Frame-Options", "DENY");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("Cache-Control", "no-store");
}

namespace {

std::string cookieValue(const httplib::Request& request, const std::string& name) {
    const std::string header = request.get_header_value("Cookie");
    size_t start = 0;
    while (start < header.size()) {
        size_t end = header.find(';', start);
        end = end == std::string::npos ? header.size() : end;
        size_t first = start;
        while (first < end && header[first] == ' ') {
            ++first;
        }
        const std::string pair = header.substr(first, end - first);
        if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 &&
            pair[name.size()] == '=') {
            return pair.substr(name.size() + 1);
        }
        start = end + 1;
    }
    return std::string();
}

std::string cookieAttributes() {
    return std::string("; Path=/; HttpOnly; SameSite=Strict") +
           (operatorRuntime->config.secureCookie ? "; Secure" : "");
}

bool sameSecret(const std::string& a, const std::string& b) {
    return !a.empty() && a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The session of a request, refreshed; nullptr when there is none.
Session* findSession(const httplib::Request& request) {
    const std::string id = cookieValue(request, SESSION_COOKIE);
    auto found = operatorRuntime->sessions.find(id);
    if (id.empty() || found == operatorRuntime->sessions.end()) {
        return nullptr;
    }
    const int64_t nowMs = monotonicMs();
    if (nowMs - found->second.lastMs > SESSION_IDLE_MS) {
        operatorRuntime->sessions.erase(found);
        return nullptr;
    }
    found->second.lastMs = nowMs;
    return &found->second;
}

}  // namespace

bool authorise(const httplib::Request& request, httplib::Response& response, bool changing,
               std::string* who) {
    const std::string authorization = request.get_header_value("Authorization");
    if (authorization.rfind("Bearer ", 0) == 0) {
        const std::string token = authorization.substr(7);
        const std::string hash = tokenHash(token);
        for (const ConfigToken& configured : operatorRuntime->config.tokens) {
            if (sameSecret(tokenHash(configured.token), hash)) {
                *who = "token:" + configured.name;
                return true;
            }
        }
        const std::string name = operatorDbTokenName(operatorRuntime->db, hash);
        if (!name.empty()) {
            *who = "token:" + name;
            return true;
        }
        sendError(response, 401, "unknown or revoked token");
        return false;
    }
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    Session* session = findSession(request);
    if (session == nullptr) {
        sendError(response, 401, "log in first");
        return false;
    }
    if (changing) {
        std::string csrf = request.get_header_value("X-CSRF-Token");
        if (csrf.empty()) {
            csrf = requestCsrfField(request.body);
        }
        if (!sameSecret(csrf, session->csrf)) {
            sendError(response, 403, "the form's CSRF token is missing or wrong; reload the page");
            return false;
        }
    }
    *who = session->user;
    return true;
}

namespace {

bool loginAllowed(const std::string& key, int64_t nowMs, int64_t* waitMs) {
    const auto found = operatorRuntime->failures.find(key);
    if (found == operatorRuntime->failures.end() || found->second.count < FREE_LOGIN_FAILURES) {
        return true;
    }
    const int32_t doublings = std::min(found->second.count - FREE_LOGIN_FAILURES, 6);
    const int64_t wait = std::min<int64_t>(1000LL << doublings, LONGEST_LOGIN_WAIT_MS);
    *waitMs = std::max(*waitMs, found->second.lastMs + wait - nowMs);
    return nowMs >= found->second.lastMs + wait;
}

void onLogin(const httplib::Request& request, httplib::Response& response) {
    pageHeaders(response);
    const Json body = Json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.value("name", Json()).is_string() ||
        !body.value("password", Json()).is_string()) {
        sendError(response, 400, "name and password are needed");
        return;
    }
    const std::string name = body["name"].get<std::string>();
    const std::string password = body["password"].get<std::string>();
    const std::string formToken =
        body.value("csrf", Json()).is_string() ? body["csrf"].get<std::string>() : "";
    const std::string nameKey = "name:" + name;
    const std::string addressKey = "address:" + request.remote_addr;
    {
        std::lock_guard<std::mutex> hold(operatorRuntime->lock);
        const int64_t nowMs = monotonicMs();
        if (!sameSecret(formToken, cookieValue(request, LOGIN_COOKIE)) ||
            operatorRuntime->loginForms.count(formToken) == 0) {
            sendError(response, 403, "the login form's CSRF token is missing or wrong; reload the page");
            return;
        }
        int64_t waitMs = 0;
        // Both are asked, so the wait shown is the longer one.
        const bool nameAllowed = loginAllowed(nameKey, nowMs, &waitMs);
        const bool addressAllowed = loginAllowed(addressKey, nowMs, &waitMs);
        const bool allowed = nameAllowed && addressAllowed;
        if (!allowed) {
            response.set_header("Retry-After", std::to_string((waitMs + 999) / 1000));
            sendError(response, 429,
                      "too many failed logins; try again in " + std::to_string((waitMs + 999) / 1000) + " s");
            return;
        }
    }
    // The hash check is slow on purpose; it runs without the lock.
    std::string hash;
    for (const ConfigUser& user : operatorRuntime->config.users) {
        if (user.name == name) {
            hash = user.passwordHash;
        }
    }
    if (hash.empty()) {
        hash = operatorDbUserHash(operatorRuntime->db, name);
    }
    const bool good = !name.empty() && passwordMatches(hash, password);
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    const int64_t nowMs = monotonicMs();
    if (!good) {
        // Guessed names must not fill the memory: failures an hour old are
        // forgotten once there are many.
        if (operatorRuntime->failures.size() > MOST_FAILURE_RECORDS) {
            std::erase_if(operatorRuntime->failures, [nowMs](const auto& entry) {
                return nowMs - entry.second.lastMs > FAILURE_MEMORY_MS;
            });
        }
        for (const std::string& key : {nameKey, addressKey}) {
            LoginFailures& failures = operatorRuntime->failures[key];
            ++failures.count;
            failures.lastMs = nowMs;
        }
        std::fprintf(stderr, "velmorant-server: failed login for \"%s\" from %s\n", name.c_str(),
                     request.remote_addr.c_str());
        sendError(response, 401, "wrong name or password");
        return;
    }
    operatorRuntime->failures.erase(nameKey);
    operatorRuntime->failures.erase(addressKey);
    operatorRuntime->loginForms.erase(formToken);
    if (operatorRuntime->sessions.size() >= MOST_SESSIONS) {
        // The session idle the longest makes room.
        auto oldest = operatorRuntime->sessions.begin();
        for (auto it = operatorRuntime->sessions.begin(); it != operatorRuntime->sessions.end(); ++it) {
            oldest = it->second.lastMs < oldest->second.lastMs ? it : oldest;
        }
        operatorRuntime->sessions.erase(oldest);
    }
    const std::string id = newSecret();
    operatorRuntime->sessions[id] = Session{name, newSecret(), nowMs};
    response.set_header("Set-Cookie", std::string(SESSION_COOKIE) + "=" + id + cookieAttributes());
    sendJson(response, 200, Json{{"user", name}});
}

void onLogout(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    if (!authorise(request, response, true, &who)) {
        return;
    }
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    operatorRuntime->sessions.erase(cookieValue(request, SESSION_COOKIE));
    response.set_header("Set-Cookie", std::string(SESSION_COOKIE) + "=" + cookieAttributes() + "; Max-Age=0");
    sendJson(response, 200, Json{{"user", nullptr}});
}

// Puts a value into a page template at each {{name}} place. Only
// server-made tokens (hex) are ever put in, never a text someone typed.
std::string fillIn(std::string page, const std::string& name, const std::string& value) {
    const std::string mark = "{{" + name + "}}";
    for (size_t at = page.find(mark); at != std::string::npos; at = page.find(mark, at + value.size())) {
        page.replace(at, mark.size(), value);
    }
    return page;
}

void onPage(const httplib::Request& request, httplib::Response& response) {
    pageHeaders(response);
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    const Session* session = findSession(request);
    if (session != nullptr) {
        response.set_content(fillIn(operatorPageHtml(), "csrf", session->csrf), "text/html; charset=utf-8");
        return;
    }
    // A login form token, also in a cookie: the form must come from this
    // page, not from another site.
    const int64_t nowMs = monotonicMs();
    for (auto it = operatorRuntime->loginForms.begin(); it != operatorRuntime->loginForms.end();) {
        it = nowMs - it->second > SESSION_IDLE_MS || operatorRuntime->loginForms.size() > MOST_SESSIONS
                 ? operatorRuntime->loginForms.erase(it)
                 : std::next(it);
    }
    const std::string token = newSecret();
    operatorRuntime->loginForms[token] = nowMs;
    response.set_header("Set-Cookie", std::string(LOGIN_COOKIE) + "=" + token + cookieAttributes());
    response.set_content(fillIn(operatorLoginHtml(), "csrf", token), "text/html; charset=utf-8");
}

}  // namespace

void registerLoginRoutes(httplib::Server& server) {
    // Only the allowed addresses reach anything but the board API.
    server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
        const std::vector<std::string>& allowed = operatorRuntime->config.allowFrom;
        if (allowed.empty() || request.path.rfind("/api/boards/", 0) == 0 ||
            request.path.rfind("/sounds/", 0) == 0 ||
            std::find(allowed.begin(), allowed.end(), request.remote_addr) != allowed.end()) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        response.status = 403;
        response.set_content("the operator's page is not open to this address\n",
                             "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.Get("/", onPage);
    server.Get("/operator.js", [](const httplib::Request&, httplib::Response& response) {
        pageHeaders(response);
        response.set_content(operatorScript(), "text/javascript; charset=utf-8");
    });
    server.Get("/operator.css", [](const httplib::Request&, httplib::Response& response) {
        pageHeaders(response);
        response.set_content(operatorStyle(), "text/css; charset=utf-8");
    });
    server.Post("/login", onLogin);
    server.Post("/logout", onLogout);
}
