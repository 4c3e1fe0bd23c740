#include "OrvexCore/Models/Workspace.hpp"

#include <functional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "OrvexCore/Models/DecodingError.hpp"

using namespace OrvexCore;
using nlohmann::json;
using nlohmann::ordered_json;

// Reading back is checked by PersistedStateJSON.RoundTripsThroughText, with and without colour.
TEST(WorkspaceJSON, WritesColourOnlyWhenPresent) {
    UUID id = *UUID::parse("6f9619ff-8b86-d011-b42d-00c04fc964ff");
    Workspace plain{id, "/src/repo", "repo"};
    Workspace coloured{id, "/src/repo", "repo", "#336699"};

    EXPECT_EQ(ordered_json(plain).dump(),
              R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","repoPath":"/src/repo",)"
              R"("displayName":"repo"})");
    EXPECT_EQ(ordered_json(coloured).dump(),
              R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","repoPath":"/src/repo",)"
              R"("displayName":"repo","color":"#336699"})");
}

TEST(WorkspaceJSON, DecodingRules) {
    json base = json::parse(R"({"id":"6f9619ff-8b86-d011-b42d-00c04fc964ff",)"
                            R"("repoPath":"/r","displayName":"r","extra":[1,2]})");
    Workspace decoded = base.get<Workspace>();
    EXPECT_EQ(decoded.id.string(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_EQ(decoded.color, std::nullopt);

    json nullColour = base;
    nullColour["color"] = nullptr;
    EXPECT_EQ(nullColour.get<Workspace>(), decoded);

    for (const char* key : {"id", "repoPath", "displayName"}) {
        json missing = base;
        missing.erase(key);
        EXPECT_THROW(missing.get<Workspace>(), DecodingError) << key;
        json wrong = base;
        wrong[key] = 1;
        EXPECT_THROW(wrong.get<Workspace>(), DecodingError) << key;
    }
    json wrongColour = base;
    wrongColour["color"] = 0xFF;
    EXPECT_THROW(wrongColour.get<Workspace>(), DecodingError);
}

TEST(WorkspaceModel, EveryFieldTakesPartInHashing) {
    std::hash<Workspace> hash;
    Workspace base{UUID(), "/r", "name", "red"};
    EXPECT_EQ(hash(base), hash(Workspace(base)));
    std::vector<Workspace> variants(4, base);
    variants[0].id = UUID();
    variants[1].repoPath = "/s";
    variants[2].displayName = "other";
    variants[3].color.reset();
    for (const Workspace& variant : variants) {
        EXPECT_NE(hash(variant), hash(base));
    }
    // Field boundaries matter: moving text from one field to the next changes the hash.
    EXPECT_NE(hash(Workspace{base.id, "/ra", "b"}), hash(Workspace{base.id, "/r", "ab"}));
}
