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
void pageHeaders(HttpResponse& response) {
    response.setHeader("Content-Security-Policy",
                       "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                       "frame-ancestors 'none'; form-action 'self'; base-uri 'none'");
    response.setHeader("X-Content-Type-Options", "nosniff");
    response.setHeader("X-Frame-Options", "DENY");
    response.setHeader("Referrer-Policy", "no-referrer");
    response.setHeader("Cache-Control", "no-store");
}

namespace {

std::string cookieValue(const HttpRequest& request, const std::string& name) {
    const std::string header = request.header("Cookie");
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

std::string cookieAttributes(Runtime* operatorRuntime) {
    return std::string("; Path=/; HttpOnly; SameSite=Strict") +
           (operatorRuntime->config.secureCookie ? "; Secure" : "");
}

bool sameSecret(const std::string& a, const std::string& b) {
    return !a.empty() && a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

// A user's password hash now: from station.toml, else from the operator
// database; empty when there is no such user.
std::string currentHash(Runtime* operatorRuntime, const std::string& name) {
    for (const ConfigUser& user : operatorRuntime->config.users) {
        if (user.name == name) {
            return user.passwordHash;
        }
    }
    return name.empty() ? std::string() : operatorDbUserHash(operatorRuntime->db, name);
}

// The session of a request; nullptr when there is none. A session ends a
// lifetime after its login however busy it was (the page's own refresh
// keeps asking), after a long idle time, and at once when its user's
// password has changed or the user was removed.
Session* findSession(Runtime* operatorRuntime, const HttpRequest& request) {
    const std::string id = cookieValue(request, SESSION_COOKIE);
    auto found = operatorRuntime->sessions.find(id);
    if (id.empty() || found == operatorRuntime->sessions.end()) {
        return nullptr;
    }
    const int64_t nowMs = monotonicMs();
    const Session& session = found->second;
    if (nowMs - session.lastMs > SESSION_IDLE_MS ||
        nowMs - session.startMs > operatorRuntime->config.sessionSeconds * 1000 ||
        currentHash(operatorRuntime, session.user) != session.passwordHash) {
        operatorRuntime->sessions.erase(found);
        return nullptr;
    }
    found->second.lastMs = nowMs;
    return &found->second;
}

}  // namespace

bool authorise(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response, bool changing,
               std::string* who) {
    const std::string authorization = request.header("Authorization");
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
    Session* session = findSession(operatorRuntime, request);
    if (session == nullptr) {
        sendError(response, 401, "log in first");
        return false;
    }
    if (changing) {
        std::string csrf = request.header("X-CSRF-Token");
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

// The address a login comes from: the connection's, or when that is one of
// the trusted proxies, the client it forwarded for. Only the last
// X-Forwarded-For line is read, the one the proxy wrote or appended to.
std::string requestClient(Runtime* operatorRuntime, const HttpRequest& request) {
    std::string forwardedFor;
    for (const auto& [name, value] : request.headers) {
        if (name == "x-forwarded-for") {
            forwardedFor = value;
        }
    }
    return forwardedClient(request.remoteAddress, forwardedFor, operatorRuntime->station->trustedProxies);
}

// Refuses a login before any password is checked: a wrong form, the
// throttle, or too many checks under way. Takes the throttle's attempt and,
// when it returns true, a place among the hash checks.
bool loginMayCheck(Runtime* operatorRuntime, const HttpRequest& request, const std::string& formToken,
                   const std::string& key, HttpResponse& response) {
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    if (!sameSecret(formToken, cookieValue(request, LOGIN_COOKIE)) ||
        operatorRuntime->loginForms.count(formToken) == 0) {
        sendError(response, 403, "the login form's CSRF token is missing or wrong; reload the page");
        return false;
    }
    if (operatorRuntime->hashesRunning >= MOST_HASHES_AT_ONCE) {
        response.setHeader("Retry-After", "1");
        sendError(response, 503, "too many logins at once; try again");
        return false;
    }
    int64_t waitMs = 0;
    if (!loginThrottleBegin(&operatorRuntime->throttle, key, monotonicMs(), &waitMs)) {
        response.setHeader("Retry-After", std::to_string((waitMs + 999) / 1000));
        sendError(response, 429,
                  "too many failed logins; try again in " + std::to_string((waitMs + 999) / 1000) + " s");
        return false;
    }
    ++operatorRuntime->hashesRunning;
    return true;
}

void onLogin(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response) {
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
    // A colleague's typos at another desk do not lock this user out; behind
    // the station's reverse proxy the desk is the address it forwarded for.
    const std::string client = requestClient(operatorRuntime, request);
    const std::string key = name + '\n' + client;
    if (!loginMayCheck(operatorRuntime, request, formToken, key, response)) {
        return;
    }
    // The hash check is slow on purpose; it runs without the lock. An
    // unknown user is checked against a hash of nothing, so a wrong name
    // costs as long as a wrong password.
    const std::string hash = currentHash(operatorRuntime, name);
    const bool matches = passwordMatches(hash.empty() ? operatorRuntime->dummyHash : hash, password);
    const bool good = !hash.empty() && matches;
    const int64_t at = clockNow(operatorRuntime->clock);
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    --operatorRuntime->hashesRunning;
    const std::string where = " from " + client;
    if (!good) {
        serverLog("failed login for \"" + name + "\"" + where);
        operatorDbNote(operatorRuntime->db, at, "login", "failed login for \"" + name + "\"" + where);
        sendError(response, 401, "wrong name or password");
        return;
    }
    loginThrottleSucceeded(&operatorRuntime->throttle, key);
    operatorRuntime->loginForms.erase(formToken);
    const int64_t nowMs = monotonicMs();
    if (operatorRuntime->sessions.size() >= MOST_SESSIONS) {
        // The session idle the longest makes room.
        auto oldest = operatorRuntime->sessions.begin();
        for (auto it = operatorRuntime->sessions.begin(); it != operatorRuntime->sessions.end(); ++it) {
            oldest = it->second.lastMs < oldest->second.lastMs ? it : oldest;
        }
        operatorRuntime->sessions.erase(oldest);
    }
    const std::string id = newSecret();
    operatorRuntime->sessions[id] = Session{name, newSecret(), nowMs, nowMs, hash};
    operatorDbNote(operatorRuntime->db, at, name, "logged in" + where);
    response.setHeader("Set-Cookie",
                       std::string(SESSION_COOKIE) + "=" + id + cookieAttributes(operatorRuntime));
    sendJson(response, 200, Json{{"user", name}});
}

void onLogout(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response) {
    std::string who;
    if (!authorise(operatorRuntime, request, response, true, &who)) {
        return;
    }
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    operatorRuntime->sessions.erase(cookieValue(request, SESSION_COOKIE));
    response.setHeader("Set-Cookie",
                       std::string(SESSION_COOKIE) + "=" + cookieAttributes(operatorRuntime) + "; Max-Age=0");
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

void onPage(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response) {
    pageHeaders(response);
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    const Session* session = findSession(operatorRuntime, request);
    if (session != nullptr) {
        response.setContent(fillIn(operatorPageHtml(), "csrf", session->csrf), "text/html; charset=utf-8");
        return;
    }
    // A login form token, also in a cookie: the form must come from this
    // page, not from another site.
    // The oldest forms go first, an hour old or when there are very many,
    // so a flood of page loads cannot push out the form someone is filling.
    const int64_t nowMs = monotonicMs();
    auto& order = operatorRuntime->loginFormOrder;
    while (!order.empty() && (order.size() >= MOST_LOGIN_FORMS ||
                              nowMs - operatorRuntime->loginForms[order.front()] > LOGIN_FORM_MS)) {
        operatorRuntime->loginForms.erase(order.front());
        order.pop_front();
    }
    const std::string token = newSecret();
    operatorRuntime->loginForms[token] = nowMs;
    order.push_back(token);
    response.setHeader("Set-Cookie",
                       std::string(LOGIN_COOKIE) + "=" + token + cookieAttributes(operatorRuntime));
    response.setContent(fillIn(operatorLoginHtml(), "csrf", token), "text/html; charset=utf-8");
}

}  // namespace

void registerLoginRoutes(Runtime* operatorRuntime, std::vector<HttpRoute>* routes) {
    Runtime* runtime = operatorRuntime;
    routes->push_back(
        operatorRoute("GET", "/", RouteWork::OPERATOR,
                      [runtime](const HttpRequest& q, HttpResponse& r) { onPage(runtime, q, r); }));
    routes->push_back(operatorRoute(
        "GET", "/operator.js", RouteWork::NETWORK, [](const HttpRequest&, HttpResponse& response) {
            pageHeaders(response);
            response.setContent(operatorScript(), "text/javascript; charset=utf-8");
        }));
    routes->push_back(operatorRoute("GET", "/operator.css", RouteWork::NETWORK,
                                    [](const HttpRequest&, HttpResponse& response) {
                                        pageHeaders(response);
                                        response.setContent(operatorStyle(), "text/css; charset=utf-8");
                                    }));
    routes->push_back(
        operatorRoute("POST", "/login", RouteWork::HEAVY,
                      [runtime](const HttpRequest& q, HttpResponse& r) { onLogin(runtime, q, r); }));
    routes->push_back(
        operatorRoute("POST", "/logout", RouteWork::OPERATOR,
                      [runtime](const HttpRequest& q, HttpResponse& r) { onLogout(runtime, q, r); }));
}

bool loginThrottleBegin(LoginThrottle* throttle, const std::string& key, int64_t nowMs, int64_t* waitMs) {
    *waitMs = 0;
    // Guessed names must not fill the memory: failures an hour old are
    // forgotten once there are many.
    if (throttle->failures.size() > MOST_FAILURE_RECORDS) {
        std::erase_if(throttle->failures,
                      [nowMs](const auto& entry) { return nowMs - entry.second.lastMs > FAILURE_MEMORY_MS; });
    }
    LoginFailures& failures = throttle->failures[key];
    if (failures.count >= FREE_LOGIN_FAILURES) {
        const int32_t doublings = std::min(failures.count - FREE_LOGIN_FAILURES, 6);
        const int64_t wait = std::min<int64_t>(1000LL << doublings, LONGEST_LOGIN_WAIT_MS);
        if (nowMs < failures.lastMs + wait) {
            *waitMs = failures.lastMs + wait - nowMs;
            return false;
        }
    }
    ++failures.count;
    failures.lastMs = nowMs;
    return true;
}

void loginThrottleSucceeded(LoginThrottle* throttle, const std::string& key) {
    throttle->failures.erase(key);
}
