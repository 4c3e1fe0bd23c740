#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace OrvexServer {

/// Reads one answer line of the server as parser events, handing each element of
/// "result"."files" to a callback as soon as it is read, and building the rest of the answer
/// (its id, error or event, the result without the files) as an ordinary document. An answer
/// listing a hundred thousand changed files thus never exists as a document, nor as text.
class ListingAnswerReader final : public nlohmann::json_sax<nlohmann::json> {
public:
    /// Called for each listed file; a file without a path is passed with an empty one, a
    /// missing count as 0, a missing or malformed status letter as 'M'.
    using Visit = std::function<void(std::string_view path, std::int64_t added,
                                     std::int64_t removed, char status)>;

    /// Builds the rest of the answer into `answer`.
    ListingAnswerReader(nlohmann::json& answer, Visit visit);

    bool null() override;
    bool boolean(bool value) override;
    bool number_integer(number_integer_t value) override;
    bool number_unsigned(number_unsigned_t value) override;
    bool number_float(number_float_t value, const string_t& text) override;
    bool string(string_t& value) override;
    bool binary(binary_t& value) override;
    bool start_object(std::size_t elements) override;
    bool key(string_t& value) override;
    bool end_object() override;
    bool start_array(std::size_t elements) override;
    bool end_array() override;
    bool parse_error(std::size_t position, const std::string& lastToken,
                     const nlohmann::detail::exception& error) override;

    /// Whether the line was valid JSON.
    bool failed() const { return failed_; }

private:
    /// Where the reader stands: in the answer's document, in the files array, inside one file.
    enum class Place { document, files, file };

    /// A number seen inside a file: kept when it is one of the counts.
    void count(std::int64_t value);

    nlohmann::detail::json_sax_dom_parser<nlohmann::json> document_;
    Visit visit_;
    Place place_ = Place::document;
    /// Objects and arrays open in the document; where "result" and its "files" stand.
    int depth_ = 0;
    bool nextIsResult_ = false;
    bool nextIsFiles_ = false;
    int resultDepth_ = -1;
    /// Inside a file: nesting below the file object, the key just read and the fields so far.
    int fileNesting_ = 0;
    /// The element being passed over is an array, not a file object.
    bool elementIsArray_ = false;
    std::string key_;
    std::string path_;
    std::int64_t added_ = 0;
    std::int64_t removed_ = 0;
    char status_ = 'M';
    bool failed_ = false;
};

} // namespace OrvexServer
