// The pure rules behind the web listener's checks.

#include <gtest/gtest.h>

#include "OrvexServer/WebSecurity.hpp"

namespace WebSecurity = OrvexServer::WebSecurity;

TEST(WebSecurity, HostMustNameTheLoopbackWithOurPort) {
    struct Case {
        const char* host;
        bool allowed;
    };
    for (const auto& c : std::vector<Case>{{"127.0.0.1:8123", true},
                                           {"[::1]:8123", true},
                                           {"localhost:8123", true},
                                           {"LOCALHOST:8123", true},
                                           {"127.0.0.1", false},
                                           {"127.0.0.1:81234", false},
                                           {"127.0.0.1:812", false},
                                           {"127.0.0.2:8123", false},
                                           {"::1:8123", false},
                                           {"localhost.example:8123", false},
                                           {"evil.localhost:8123", false},
                                           {"user@127.0.0.1:8123", false},
                                           {"127.0.0.1:8123:8123", false},
                                           {"", false}}) {
        EXPECT_EQ(WebSecurity::allowedHost(c.host, 8123), c.allowed) << c.host;
    }
}

TEST(WebSecurity, CookiesAndQueriesAreFoundByExactName) {
    EXPECT_EQ(WebSecurity::cookie("a=1; orvex_token=abc; b=2", "orvex_token"), "abc");
    EXPECT_EQ(WebSecurity::cookie("x_orvex_token=abc", "orvex_token"), std::nullopt);
    EXPECT_EQ(WebSecurity::cookie("orvex_token=", "orvex_token"), "");
    EXPECT_EQ(WebSecurity::cookie("", "orvex_token"), std::nullopt);
    EXPECT_EQ(WebSecurity::queryParameter("/?a=1&token=ff#x", "token"), "ff");
    EXPECT_EQ(WebSecurity::queryParameter("/?xtoken=ff", "token"), std::nullopt);
    EXPECT_EQ(WebSecurity::queryParameter("/token=ff", "token"), std::nullopt);
    EXPECT_EQ(WebSecurity::targetPath("/app.js?v=1"), "/app.js");
}

TEST(WebSecurity, TokensAreFreshSecretsComparedWhole) {
    auto a = WebSecurity::makeToken();
    auto b = WebSecurity::makeToken();
    EXPECT_EQ(a.size(), 64u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(a, b);
    EXPECT_TRUE(WebSecurity::sameSecret(a, a));
    EXPECT_FALSE(WebSecurity::sameSecret(a, b));
    EXPECT_FALSE(WebSecurity::sameSecret(a, a.substr(0, 63)));
    EXPECT_FALSE(WebSecurity::sameSecret(a, ""));
}
