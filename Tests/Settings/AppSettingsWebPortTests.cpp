#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/MemoryUserDefaults.hpp"

using namespace OrvexCore;

TEST(AppSettingsWebPort, UnusablePortsReadAsAnyFreePort) {
    auto store = std::make_shared<MemoryUserDefaults>();
    EXPECT_EQ(AppSettings(store).webPort(), 0);
    struct Row {
        nlohmann::json stored;
        int read;
    };
    for (const auto& row : std::vector<Row>{{8123, 8123},
                                            {1024, 1024},
                                            {65535, 65535},
                                            {80, 0},
                                            {-1, 0},
                                            {65536, 0},
                                            {"8123", 0},
                                            {8123.5, 0}}) {
        store->set("webPort", row.stored);
        EXPECT_EQ(AppSettings(store).webPort(), row.read) << row.stored;
    }
    AppSettings settings(store);
    settings.setWebPort(22);
    EXPECT_EQ(settings.webPort(), 0);
    EXPECT_EQ(store->object("webPort"), nlohmann::json(0));
}
