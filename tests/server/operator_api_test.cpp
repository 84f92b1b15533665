// The operator's API through its real routes, without a socket: a change of
// one run of a trip run by frequency, from the departures list to the
// board's document and the published feed; sessions that end when they
// must; the CSRF token every change from the page carries; and logins
// behind a trusted reverse proxy.
#include <gtest/gtest.h>

#include "server/http/http.h"
#include "server/operator/operatorruntime.h"
#include "serverfixture.h"

namespace {

const char* const TOKEN = "api-test-token-0123456789abcdef0123";

// The bundled feed's station with one classic board, its users in the
// operator database and the server's clock frozen at a Monday's 9:50.
struct Api {
    std::string folder;
    StationConfig config;
    ServerClock clock;
    Runtime* runtime = nullptr;
    BoardApi boards;
    RouteTable table;
    OperatorDbPtr db;  // a second handle, as "user add" in another process has
    ~Api() {
        realtimeSetStore(nullptr);
        operatorStop(runtime);
    }
};

void startApi(Api* api) {
    api->folder = scratchFolder("operator-api");
    ImportReport report;
    ASSERT_EQ(importFeed(bundledFeed(), api->folder + "/timetable.db", &report), IMPORT_OK);
    writeText(api->folder + "/station.toml",
              "[server]\nstore = \"timetable.db\"\ntrusted_proxies = [\"127.0.0.9\"]\n"
              "[operator]\nsession_hours = 1\n[[operator.token]]\nname = \"signal-box\"\ntoken = \"" +
                  std::string(TOKEN) +
                  "\"\n[[board]]\nnumber = 1\nstation = \"KAW\"\nplatform_code = \"1\"\nrows = 3\n");
    std::vector<std::string> problems;
    ASSERT_TRUE(loadStationConfig(api->folder + "/station.toml", &api->config, &problems));
    std::string error;
    api->db.reset(operatorDbOpen(api->folder + "/operator.db", &error));
    ASSERT_NE(api->db, nullptr) << error;
    ASSERT_TRUE(operatorDbSetUser(api->db.get(), "ekimu", hashPassword("green line")));
    ASSERT_TRUE(operatorDbSetUser(api->db.get(), "kakari", hashPassword("red line")));
    api->clock.frozen = true;
    ASSERT_TRUE(
        parseLocalTime("2026-12-07T09:50", findZone("Asia/Tokyo"), &api->clock.startInstant));  // the feed's
    api->runtime = operatorStart(api->config.path, api->config, api->clock);
    ASSERT_TRUE(boardApiStart(&api->boards, api->config, api->clock, api->runtime, &error)) << error;
    std::vector<HttpRoute> routes;
    registerOperatorRoutes(api->runtime, boardAccess(&api->boards), &routes);
    routeTableBuild(&api->table, std::move(routes));
}

// One request through its route, from `from`; header names in lower case.
HttpResponse ask(Api* api, const std::string& method, const std::string& target, const std::string& body,
                 const std::vector<std::pair<std::string, std::string>>& headers,
                 const char* from = "127.0.0.1") {
    HttpRequest request;
    request.method = method;
    request.target = target;
    EXPECT_TRUE(decodeTarget(target, &request.path, &request.query));
    HttpResponse response;
    const HttpRoute* route = findRoute(api->table, method, request.path, &request.matches, &response.status);
    if (route != nullptr) {
        request.headers = headers;
        request.body = body;
        request.remoteAddress = from;
        route->handler(request, response);
    }
    return response;
}

HttpResponse withToken(Api* api, const std::string& method, const std::string& target,
                       const std::string& body = "") {
    return ask(api, method, target, body, {{"authorization", std::string("Bearer ") + TOKEN}});
}

// "name=value" of a reply's Set-Cookie.
std::string cookieOf(const HttpResponse& response) {
    for (const auto& [name, value] : response.headers) {
        if (name == "Set-Cookie") {
            return value.substr(0, value.find(';'));
        }
    }
    return std::string();
}

// The CSRF token a page carries in its <meta name="csrf">.
std::string csrfOf(const std::string& page) {
    const std::string mark = "<meta name=\"csrf\" content=\"";
    const size_t at = page.find(mark);
    if (at == std::string::npos) {
        return std::string();
    }
    const size_t start = at + mark.size();
    return page.substr(start, page.find('"', start) - start);
}

// A login as the page makes it; the reply, and its session cookie.
HttpResponse logIn(Api* api, const std::string& name, const std::string& password, std::string* session,
                   const std::vector<std::pair<std::string, std::string>>& extra = {},
                   const char* from = "127.0.0.1") {
    const HttpResponse form = ask(api, "GET", "/", "", {}, from);
    const std::string cookie = cookieOf(form);
    std::vector<std::pair<std::string, std::string>> headers = extra;
    headers.emplace_back("cookie", cookie);
    const Json body = {{"name", name}, {"password", password}, {"csrf", cookie.substr(cookie.find('=') + 1)}};
    const HttpResponse reply = ask(api, "POST", "/login", body.dump(), headers, from);
    *session = cookieOf(reply);
    return reply;
}

std::vector<Json> runsOf(Api* api, const std::string& tripId) {
    const HttpResponse reply = withToken(api, "GET", "/api/v1/boards/1/departures");
    EXPECT_EQ(reply.status, 200) << reply.body;
    std::vector<Json> runs;
    const Json list = Json::parse(reply.body);
    for (const Json& departure : list["departures"]) {
        if (departure["trip_id"] == tripId) {
            runs.push_back(departure);
        }
    }
    return runs;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(OperatorApi, AChangeOfOneRunOfAFrequencyTripLeavesItsOtherRunsAlone) {
    Api api;
    ASSERT_NO_FATAL_FAILURE(startApi(&api));
    // F1 runs every 30 minutes from 10:00 and calls here 5 minutes later.
    std::vector<Json> runs = runsOf(&api, "F1");
    ASSERT_GE(runs.size(), 3u);
    EXPECT_EQ(runs[0]["time"], "10:05");
    EXPECT_EQ(runs[1]["run_start"], 10 * 3600 + 1800);
    const std::vector<Json> ordinary = runsOf(&api, "LATE");
    ASSERT_FALSE(ordinary.empty());
    EXPECT_TRUE(ordinary[0]["run_start"].is_null());

    // The page sends the run back as the list gave it.
    Json delay = {{"board", 1},
                  {"trip_id", "F1"},
                  {"service_date", runs[1]["service_date"]},
                  {"run_start", runs[1]["run_start"]},
                  {"minutes", 4}};
    HttpResponse reply = withToken(&api, "POST", "/api/v1/delays", delay.dump());
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(has(reply.body, "10:35 ") && !has(reply.body, "10:05") && has(reply.body, "約4分遅れ"))
        << reply.body;
    runs = runsOf(&api, "F1");
    ASSERT_GE(runs.size(), 3u);
    EXPECT_EQ(runs[0]["delay_minutes"], 0);
    EXPECT_EQ(runs[1]["delay_minutes"], 4);
    EXPECT_EQ(runs[2]["delay_minutes"], 0);
    const std::vector<HistoryRecord> history = operatorDbHistory(api.db.get(), 1);
    ASSERT_EQ(history.size(), 1u);
    EXPECT_TRUE(has(history[0].what, "10:35 ")) << history[0].what;
    std::string document;
    BoardAccess access = boardAccess(&api.boards);
    ASSERT_TRUE(access.document(1, &document));
    EXPECT_TRUE(has(document, "line=train\t10:05\t港南\tKonan\t") &&
                has(document, "line=train\t10:35\t港南\u3000約4分遅れ\tKonan 4 min late\t"))
        << document;

    // Journey planners get the run by its start at the first stop.
    OperatorState state;
    operatorCurrentState(api.runtime, &state);
    const std::string feed = realtimeFeedJson(encodeStaffTripUpdates(state, api.clock.startInstant));
    EXPECT_TRUE(has(feed, "\"start_time\": \"10:30:00\"")) << feed;

    // A run the board does not have is refused; clearing the run puts it
    // back on time.
    delay["run_start"] = 10 * 3600 + 60;
    EXPECT_EQ(withToken(&api, "POST", "/api/v1/delays", delay.dump()).status, 404);
    delay.erase("minutes");
    delay["run_start"] = 10 * 3600 + 1800;
    ASSERT_EQ(withToken(&api, "POST", "/api/v1/trains/clear", delay.dump()).status, 200);
    runs = runsOf(&api, "F1");
    ASSERT_GE(runs.size(), 2u);
    EXPECT_EQ(runs[1]["delay_minutes"], 0);
}

TEST(OperatorApi, SessionsEndAtTheirLifetimeAndWithTheirUsersPassword) {
    Api api;
    ASSERT_NO_FATAL_FAILURE(startApi(&api));
    std::string session;
    ASSERT_EQ(logIn(&api, "ekimu", "green line", &session).status, 200);
    const auto asked = [&](const std::string& cookie) {
        return ask(&api, "GET", "/api/v1/boards", "", {{"cookie", cookie}}).status;
    };
    ASSERT_EQ(asked(session), 200);
    // The page's refresh keeps the session busy; its login an hour ago ends
    // it all the same.
    const int64_t lifetimeMs = api.runtime->config.sessionSeconds * 1000;
    Session& held = api.runtime->sessions.at(session.substr(session.find('=') + 1));
    held.startMs = monotonicMs() - lifetimeMs + 60 * 1000;
    EXPECT_EQ(asked(session), 200);
    held.startMs -= 61 * 1000;
    EXPECT_EQ(asked(session), 401);

    // A new password, or the user removed, ends a session at once.
    ASSERT_EQ(logIn(&api, "ekimu", "green line", &session).status, 200);
    ASSERT_TRUE(operatorDbSetUser(api.db.get(), "ekimu", hashPassword("blue line")));
    EXPECT_EQ(asked(session), 401);
    ASSERT_EQ(logIn(&api, "ekimu", "blue line", &session).status, 200);
    EXPECT_EQ(asked(session), 200);
    ASSERT_TRUE(operatorDbRemoveUser(api.db.get(), "ekimu"));
    EXPECT_EQ(asked(session), 401);
}

TEST(OperatorApi, ChangesFromThePageNeedTheirOwnSessionsCsrfToken) {
    Api api;
    ASSERT_NO_FATAL_FAILURE(startApi(&api));
    std::string mine;
    std::string theirs;
    ASSERT_EQ(logIn(&api, "ekimu", "green line", &mine).status, 200);
    ASSERT_EQ(logIn(&api, "kakari", "red line", &theirs).status, 200);
    const std::string myToken = csrfOf(ask(&api, "GET", "/", "", {{"cookie", mine}}).body);
    const std::string theirToken = csrfOf(ask(&api, "GET", "/", "", {{"cookie", theirs}}).body);
    ASSERT_FALSE(myToken.empty());
    ASSERT_NE(myToken, theirToken);
    const auto post = [&](const Json& body, const std::vector<std::pair<std::string, std::string>>& more) {
        std::vector<std::pair<std::string, std::string>> headers = more;
        headers.emplace_back("cookie", mine);
        return ask(&api, "POST", "/api/v1/notices", body.dump(), headers);
    };
    const Json notice = {{"text_jp", "お知らせ"}};
    Json wrong = notice;
    wrong["csrf"] = std::string(myToken.size(), '0');
    Json stolen = notice;
    stolen["csrf"] = theirToken;
    EXPECT_EQ(post(notice, {}).status, 403);
    EXPECT_EQ(post(wrong, {}).status, 403);
    EXPECT_EQ(post(stolen, {}).status, 403);
    EXPECT_EQ(post(notice, {{"x-csrf-token", theirToken}}).status, 403);
    EXPECT_EQ(operatorDbHistory(api.db.get(), 10).size(), 2u);  // the two logins only
    Json right = notice;
    right["csrf"] = myToken;
    EXPECT_EQ(post(right, {}).status, 201);
    EXPECT_EQ(post(notice, {{"x-csrf-token", myToken}}).status, 201);
    // The login form has its own token, in its cookie and its body.
    const Json login = {{"name", "ekimu"}, {"password", "green line"}, {"csrf", myToken}};
    EXPECT_EQ(ask(&api, "POST", "/login", login.dump(), {}).status, 403);
}

TEST(OperatorApi, LoginsThroughATrustedProxyAreTheClientsOwn) {
    Api api;
    ASSERT_NO_FATAL_FAILURE(startApi(&api));
    std::string session;
    // Three wrong guesses from one desk behind the proxy; the fourth waits.
    const std::vector<std::pair<std::string, std::string>> desk = {
        {"x-forwarded-for", "198.51.100.1, 10.0.0.5"}};
    for (int i = 0; i < FREE_LOGIN_FAILURES; ++i) {
        EXPECT_EQ(logIn(&api, "ekimu", "wrong", &session, desk, "127.0.0.9").status, 401);
    }
    EXPECT_EQ(logIn(&api, "ekimu", "wrong", &session, desk, "127.0.0.9").status, 429);
    // A colleague's desk through the same proxy is not held up.
    EXPECT_EQ(
        logIn(&api, "ekimu", "green line", &session, {{"x-forwarded-for", "10.0.0.6"}}, "127.0.0.9").status,
        200);
    // A header from a host that is no trusted proxy names nobody.
    EXPECT_EQ(
        logIn(&api, "kakari", "red line", &session, {{"x-forwarded-for", "10.0.0.7"}}, "127.0.0.8").status,
        200);
    const std::vector<HistoryRecord> history = operatorDbHistory(api.db.get(), 10);
    ASSERT_EQ(history.size(), 5u);
    EXPECT_EQ(history[0].what, "logged in from 127.0.0.8");
    EXPECT_EQ(history[1].what, "logged in from 10.0.0.6");
    EXPECT_EQ(history[2].what, "failed login for \"ekimu\" from 10.0.0.5");
}

}  // namespace
