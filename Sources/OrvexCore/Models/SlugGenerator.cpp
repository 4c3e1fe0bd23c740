#include "OrvexCore/Models/SlugGenerator.hpp"

#include <array>
#include <cctype>
#include <random>

#include "OrvexCore/Models/UUID.hpp"

namespace OrvexCore {
namespace {

std::mt19937_64& randomEngine() {
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::array<std::random_device::result_type, 8> seed{};
        for (auto& word : seed) {
            word = device();
        }
        std::seed_seq sequence(seed.begin(), seed.end());
        return std::mt19937_64(sequence);
    }();
    return engine;
}

const std::string& pick(const std::vector<std::string>& words, const std::string& fallback) {
    if (words.empty()) {
        return fallback;
    }
    std::uniform_int_distribution<size_t> index(0, words.size() - 1);
    return words[index(randomEngine())];
}

} // namespace

const std::vector<std::string> SlugGenerator::defaultAdjectives{
    "brave", "calm",  "wise",  "bright", "swift",  "bold",  "keen",  "lively",
    "merry", "noble", "quiet", "eager",  "gentle", "jolly", "proud", "witty"};

const std::vector<std::string> SlugGenerator::defaultAnimals{
    "fox",   "owl",  "elk",   "wolf",  "lynx",  "hawk",  "otter", "bear",
    "crane", "ibex", "heron", "raven", "moose", "stoat", "puma",  "wren"};

SlugGenerator SlugGenerator::standard() {
    return SlugGenerator{defaultAdjectives, defaultAnimals};
}

std::string SlugGenerator::generate(const std::unordered_set<std::string>& excluding) const {
    static const std::string fallbackAdjective = "calm";
    static const std::string fallbackAnimal = "fox";
    std::string base = pick(adjectives, fallbackAdjective) + "-" + pick(animals, fallbackAnimal);
    if (!excluding.contains(base)) {
        return base;
    }
    for (int number = 2; number <= 999; ++number) {
        std::string candidate = base + "-" + std::to_string(number);
        if (!excluding.contains(candidate)) {
            return candidate;
        }
    }
    std::string suffix = UUID().string().substr(0, 8);
    for (char& c : suffix) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return base + "-" + suffix;
}

} // namespace OrvexCore
