#include "OrvexCore/Util/Observable.hpp"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using OrvexCore::Observable;

TEST(Observable, SetNotifiesOnlyWhenTheValueDiffers) {
    Observable<std::optional<std::string>> value;
    std::vector<std::optional<std::string>> seen;
    auto connection = value.observe([&](const auto& v) { seen.push_back(v); });

    EXPECT_FALSE(value.set(std::nullopt));
    EXPECT_TRUE(value.set("a"));
    EXPECT_FALSE(value.set("a"));
    EXPECT_TRUE(value.set(std::nullopt));
    EXPECT_EQ(seen, (std::vector<std::optional<std::string>>{"a", std::nullopt}));

    connection.disconnect();
    value.set("b");
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(value.get(), "b");
}

TEST(Observable, ModifyAlwaysNotifiesWithTheStoredValue) {
    Observable<std::vector<int>> list;
    std::vector<size_t> sizes;
    auto connection = list.observe([&](const auto& v) { sizes.push_back(v.size()); });
    list.modify([](auto& v) { v.push_back(1); });
    list.modify([](auto&) {});
    EXPECT_EQ(sizes, (std::vector<size_t>{1, 1}));
    EXPECT_EQ(list->size(), 1u);
}

TEST(Observable, AnObserverMayChangeTheValueAgain) {
    Observable<int> value{0};
    std::vector<int> seen;
    auto clamp = value.observe([&](int v) {
        seen.push_back(v);
        if (v > 10) {
            value.set(10);
        }
    });
    value.set(42);
    EXPECT_EQ(value.get(), 10);
    EXPECT_EQ(seen, (std::vector<int>{42, 10}));
}
