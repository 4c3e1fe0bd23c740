#include "OrvexServer/ListingAnswerReader.hpp"

#include <limits>

namespace OrvexServer {

ListingAnswerReader::ListingAnswerReader(nlohmann::json& answer, Visit visit)
    : document_(answer, false), visit_(std::move(visit)) {}

void ListingAnswerReader::count(std::int64_t value) {
    if (fileNesting_ != 0) {
        return;
    }
    if (key_ == "added") {
        added_ = value;
    } else if (key_ == "removed") {
        removed_ = value;
    }
}

bool ListingAnswerReader::null() {
    return place_ == Place::document ? document_.null() : true;
}

bool ListingAnswerReader::boolean(bool value) {
    return place_ == Place::document ? document_.boolean(value) : true;
}

bool ListingAnswerReader::number_integer(number_integer_t value) {
    if (place_ == Place::file) {
        count(value);
        return true;
    }
    return place_ == Place::document ? document_.number_integer(value) : true;
}

bool ListingAnswerReader::number_unsigned(number_unsigned_t value) {
    if (place_ == Place::file) {
        count(value > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max())
                  ? std::numeric_limits<std::int64_t>::max()
                  : static_cast<std::int64_t>(value));
        return true;
    }
    return place_ == Place::document ? document_.number_unsigned(value) : true;
}

bool ListingAnswerReader::number_float(number_float_t value, const string_t& text) {
    return place_ == Place::document ? document_.number_float(value, text) : true;
}

bool ListingAnswerReader::string(string_t& value) {
    if (place_ == Place::file) {
        if (fileNesting_ == 0 && key_ == "path") {
            path_ = std::move(value);
        } else if (fileNesting_ == 0 && key_ == "status" && value.size() == 1) {
            status_ = value[0];
        }
        return true;
    }
    return place_ == Place::document ? document_.string(value) : true;
}

bool ListingAnswerReader::binary(binary_t& value) {
    return place_ == Place::document ? document_.binary(value) : true;
}

bool ListingAnswerReader::start_object(std::size_t elements) {
    if (place_ == Place::file) {
        ++fileNesting_;
        return true;
    }
    if (place_ == Place::files) {
        place_ = Place::file;
        fileNesting_ = 0;
        key_.clear();
        path_.clear();
        added_ = 0;
        removed_ = 0;
        status_ = 'M';
        return true;
    }
    nextIsFiles_ = false;
    if (nextIsResult_) {
        nextIsResult_ = false;
        resultDepth_ = depth_ + 1;
    }
    ++depth_;
    return document_.start_object(elements);
}

bool ListingAnswerReader::key(string_t& value) {
    if (place_ == Place::file) {
        if (fileNesting_ == 0) {
            key_ = value;
        }
        return true;
    }
    nextIsResult_ = depth_ == 1 && value == "result";
    nextIsFiles_ = depth_ == resultDepth_ && value == "files";
    return document_.key(value);
}

bool ListingAnswerReader::end_object() {
    if (place_ == Place::file) {
        if (fileNesting_ > 0) {
            --fileNesting_;
            return true;
        }
        place_ = Place::files;
        visit_(path_, added_, removed_, status_);
        return true;
    }
    if (depth_ == resultDepth_) {
        resultDepth_ = -1;
    }
    --depth_;
    return document_.end_object();
}

bool ListingAnswerReader::start_array(std::size_t elements) {
    if (place_ == Place::file) {
        ++fileNesting_;
        return true;
    }
    if (place_ == Place::files) {
        // An array among the files is not a file: its contents are passed over.
        place_ = Place::file;
        fileNesting_ = 1;
        elementIsArray_ = true;
        return true;
    }
    const bool files = nextIsFiles_;
    nextIsResult_ = false;
    nextIsFiles_ = false;
    ++depth_;
    if (!document_.start_array(elements)) {
        return false;
    }
    if (files) {
        place_ = Place::files;
    }
    return true;
}

bool ListingAnswerReader::end_array() {
    if (place_ == Place::file) {
        if (--fileNesting_ == 0 && elementIsArray_) {
            place_ = Place::files;
            elementIsArray_ = false;
        }
        return true;
    }
    place_ = Place::document;
    --depth_;
    return document_.end_array();
}

bool ListingAnswerReader::parse_error(std::size_t position, const std::string& lastToken,
                                      const nlohmann::detail::exception& error) {
    failed_ = true;
    return document_.parse_error(position, lastToken, error);
}

} // namespace OrvexServer
