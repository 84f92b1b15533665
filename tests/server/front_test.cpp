// The front's limits, the allow-lists, the trusted proxies and the login
// throttle, each driven through its real entry point.
#include <gtest/gtest.h>

#include "server/http/http.h"

namespace {

RouteTable testRoutes() {
    std::vector<HttpRoute> routes(2);
    routes[0].method = "GET";
    routes[0].pattern = R"(/api/boards/(\d{1,9})/display\.txt)";
    routes[0].audience = RouteAudience::BOARDS;
    routes[1].method = "POST";
    routes[1].pattern = "/api/v1/notices";
    routes[1].mostBody = OPERATOR_MOST_BODY;
    RouteTable table;
    routeTableBuild(&table, std::move(routes));
    return table;
}

// Reads `bytes` a piece at a time; the final step, and the refusal status.
ReadStep readInPieces(const RouteTable& table, const std::string& bytes, size_t piece,
                      RequestReader* reader) {
    requestReaderStart(reader);
    ReadStep step = ReadStep::MORE;
    for (size_t at = 0; at < bytes.size() && step == ReadStep::MORE; at += piece) {
        step = requestReaderFeed(reader, table, bytes.data() + at, std::min(piece, bytes.size() - at));
        if (step == ReadStep::HEADER) {
            step = requestReaderFeed(reader, table, nullptr, 0);
        }
    }
    return step;
}

TEST(ServerFront, RequestsAreReadWholeWithinTheirRoutesLimits) {
    const RouteTable table = testRoutes();
    {
        // A board's request dripping in byte by byte, its target decoded.
        RequestReader reader;
        ASSERT_EQ(readInPieces(table, "GET /api/boards/%31%32/display.txt?a=b+c&d=%E6%9D%B1 HTTP/1.0\r\n\r\n",
                               1, &reader),
                  ReadStep::DONE);
        EXPECT_EQ(reader.request.path, "/api/boards/12/display.txt");
        EXPECT_EQ(reader.request.matches.at(1), "12");
        EXPECT_EQ(reader.request.param("a"), "b c");
        EXPECT_EQ(reader.request.param("d"), "東");
    }
    {
        RequestReader reader;
        const std::string body = "{\"text_jp\":\"x\"}";
        ASSERT_EQ(readInPieces(table,
                               "POST /api/v1/notices HTTP/1.1\r\nX-CSRF-Token: t\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\n\r\n" + body,
                               7, &reader),
                  ReadStep::DONE);
        EXPECT_EQ(reader.request.body, body);
        EXPECT_EQ(reader.request.header("x-csrf-token"), "t");
    }
    // What is refused, and with what, before any body is read.
    const std::string over(OPERATOR_MOST_BODY + 1, 'x');
    const struct {
        std::string bytes;
        int32_t status;
    } refused[] = {
        {"GET /api/boards/1/display.txt HTTP/1.1\r\nContent-Length: 1\r\n\r\nx",
         413},  // a body to a board path
        {"GET /api/boards/1/display.txt HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n",
         413},
        {"POST /api/v1/notices HTTP/1.1\r\nContent-Length: 104857600\r\n\r\n", 413},
        {"POST /api/v1/notices HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n10001\r\n" + over +
             "\r\n0\r\n\r\n",
         413},
        {"GET /api/boards/1/display.txt HTTP/1.1\r\nX: " + std::string(MOST_HEADER_BYTES, 'a') + "\r\n\r\n",
         431},
        {"GET /nothing HTTP/1.1\r\n\r\n", 404},
        {"POST /api/boards/1/display.txt HTTP/1.1\r\n\r\n", 405},
        {"GET /api/boards/%zz/display.txt HTTP/1.1\r\n\r\n", 400},
        {"GET http://elsewhere/ HTTP/1.1\r\n\r\n", 400},
        {"GARBAGE\r\n\r\n", 400},
    };
    for (const auto& entry : refused) {
        RequestReader reader;
        EXPECT_EQ(readInPieces(table, entry.bytes, 512, &reader), ReadStep::REFUSED)
            << entry.bytes.substr(0, 60);
        EXPECT_EQ(reader.refusal, entry.status) << entry.bytes.substr(0, 60);
    }
}

TEST(ServerFront, AllowListsTakeSubnetsAndMappedAddresses) {
    std::vector<AddressRange> list;
    std::vector<std::string> problems;
    ASSERT_TRUE(readAddressList({"10.1.2.0/24", "192.168.5.7", "fd00::/8", "::ffff:172.16.0.0/108"}, &list,
                                &problems));
    for (const char* inside : {"10.1.2.200", "::ffff:10.1.2.3", "192.168.5.7", "fd12::1", "172.16.9.9"}) {
        EXPECT_TRUE(addressAllowed(inside, list)) << inside;
    }
    for (const char* outside : {"10.1.3.1", "192.168.5.8", "fe80::1", "::1", "172.32.0.1", "", "nonsense"}) {
        EXPECT_FALSE(addressAllowed(outside, list)) << outside;
    }
    EXPECT_TRUE(addressAllowed("203.0.113.9", {}));  // no list: anyone
    EXPECT_EQ(plainAddress("::ffff:127.0.0.1"), "127.0.0.1");
    for (const char* wrong : {"10.1.2.0/33", "10.1.2.0/", "10.1.2.0/-1", "10.1.2", "host.example",
                              "fd00::/129", "10.1.2.0/24x", ""}) {
        AddressRange range;
        EXPECT_FALSE(readAddressRange(wrong, &range)) << wrong;
    }
    // A wrong entry is named, the good ones kept.
    list.clear();
    problems.clear();
    EXPECT_FALSE(readAddressList({"10.0.0.0/8", "10.0.0.0/99"}, &list, &problems));
    EXPECT_EQ(list.size(), 1u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("10.0.0.0/99"), std::string::npos);
}

TEST(ServerFront, AddressMistakesInTheStationAreKeptApartForCheck) {
    StationConfig config;
    std::vector<std::string> problems;
    // A wrong list keeps the station serving ("serve" logs it) but is
    // noted for "check" to refuse; a good one is read.
    ASSERT_TRUE(
        readStationConfig("[server]\nboards_from = [\"10.1.0.0/16\", \"10.2.0.0/40\"]\n"
                          "[[board]]\nnumber = 1\nstop_id = \"A\"\naddress = \"10.1.0.0/16\"\n",
                          ".", &config, &problems));
    EXPECT_EQ(config.boardsFrom.size(), 1u);
    EXPECT_EQ(config.addressProblems.size(), 2u);  // the subnet of 40 bits, the board's subnet
    ASSERT_TRUE(
        readStationConfig("[server]\nboards_from = \"10.1.0.0/16\"\n[[board]]\nnumber = 1\nstop_id = \"A\"\n",
                          ".", &config, &problems));
    EXPECT_EQ(config.addressProblems.size(), 1u);
    EXPECT_TRUE(config.boardsFrom.empty());
}

TEST(ServerFront, OnlyATrustedProxyNamesTheClientItForwardsFor) {
    std::vector<AddressRange> proxies;
    std::vector<std::string> problems;
    ASSERT_TRUE(readAddressList({"192.168.10.2", "fd00::1"}, &proxies, &problems));
    // The rightmost entry is the one the proxy added; the rest anyone wrote.
    EXPECT_EQ(forwardedClient("192.168.10.2", "10.9.9.9, 10.0.0.5", proxies), "10.0.0.5");
    EXPECT_EQ(forwardedClient("fd00::1", "fd12::7", proxies), "fd12::7");
    EXPECT_EQ(forwardedClient("192.168.10.2", " ::ffff:10.0.0.6 ", proxies), "10.0.0.6");
    for (const char* unusable :
         {"", " , ", "10.0.0.5, unknown", "10.0.0.5:4431", "10.0.0.0/8", "10.0.0.5,"}) {
        EXPECT_EQ(forwardedClient("192.168.10.2", unusable, proxies), "192.168.10.2") << unusable;
    }
    EXPECT_EQ(forwardedClient("192.168.10.3", "10.0.0.5", proxies), "192.168.10.3");
    EXPECT_EQ(forwardedClient("192.168.10.2", "10.0.0.5", {}), "192.168.10.2");
    // A wrong entry is kept for "check" to refuse, as in the other lists.
    StationConfig config;
    ASSERT_TRUE(
        readStationConfig("[server]\ntrusted_proxies = [\"192.168.10.2\", \"proxy.example\"]\n"
                          "[[board]]\nnumber = 1\nstop_id = \"A\"\n",
                          ".", &config, &problems));
    EXPECT_EQ(config.trustedProxies.size(), 1u);
    ASSERT_EQ(config.addressProblems.size(), 1u);
    EXPECT_NE(config.addressProblems[0].find("trusted_proxies"), std::string::npos);
}

TEST(ServerFront, LoginThrottleCountsEachAttemptBeforeItsCheck) {
    LoginThrottle throttle;
    int64_t waitMs = 0;
    // Three attempts under way at once take the free failures; the fourth
    // waits without its password being checked.
    for (int i = 0; i < FREE_LOGIN_FAILURES; ++i) {
        EXPECT_TRUE(loginThrottleBegin(&throttle, "ekimu\n10.0.0.5", 1000, &waitMs));
    }
    EXPECT_FALSE(loginThrottleBegin(&throttle, "ekimu\n10.0.0.5", 1000, &waitMs));
    EXPECT_EQ(waitMs, 1000);
    // The same user at another desk is not held up.
    EXPECT_TRUE(loginThrottleBegin(&throttle, "ekimu\n10.0.0.6", 1000, &waitMs));
    // After the wait one more attempt, then twice as long.
    EXPECT_TRUE(loginThrottleBegin(&throttle, "ekimu\n10.0.0.5", 2000, &waitMs));
    EXPECT_FALSE(loginThrottleBegin(&throttle, "ekimu\n10.0.0.5", 3999, &waitMs));
    EXPECT_EQ(waitMs, 1);
    // A success forgives.
    loginThrottleSucceeded(&throttle, "ekimu\n10.0.0.5");
    EXPECT_TRUE(loginThrottleBegin(&throttle, "ekimu\n10.0.0.5", 4000, &waitMs));
}

}  // namespace
