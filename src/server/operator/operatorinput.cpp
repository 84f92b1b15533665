// The bodies of the operator's JSON API requests, read with nlohmann-json
// (without exceptions) into plain records. Every field is checked for its
// type and range here, so the rest of the server only sees sound values.
#include <nlohmann/json.hpp>

#include "server/operator/operator.h"

namespace {

using Json = nlohmann::json;

// Longest notice text taken, in bytes of UTF-8: far more than any board
// row shows, small enough for a document.
constexpr size_t NOTICE_TEXT_BYTES = 1000;
constexpr size_t TRIP_ID_BYTES = 200;
constexpr int32_t MOST_DELAY_MINUTES = 720;
constexpr int32_t BOARD_NUMBER_MAX = 99999;
// The latest start of a run a timetable can give: GTFS times count on past
// midnight, for trips of a service day that run into the next days.
constexpr int32_t LATEST_RUN_START = 7 * 24 * 3600;

bool readObject(const std::string& body, Json* object, std::string* error) {
    *object = Json::parse(body, nullptr, false);
    if (object->is_discarded() || !object->is_object()) {
        *error = "the body must be a JSON object";
        return false;
    }
    return true;
}

bool readText(const Json& object, const char* key, size_t most, bool* present, std::string* value,
              std::string* error) {
    const auto found = object.find(key);
    *present = found != object.end() && !found->is_null();
    if (!*present) {
        return true;
    }
    if (!found->is_string() || found->get_ref<const std::string&>().size() > most) {
        *error = std::string(key) + " must be a text of at most " + std::to_string(most) + " bytes";
        return false;
    }
    *value = found->get<std::string>();
    if (value->find('\0') != std::string::npos) {
        *error = std::string(key) + " must not hold a zero character";
        return false;
    }
    return true;
}

bool readInteger(const Json& object, const char* key, int64_t low, int64_t high, bool* present,
                 int64_t* value, std::string* error) {
    const auto found = object.find(key);
    *present = found != object.end() && !found->is_null();
    if (!*present) {
        return true;
    }
    if (found->is_number_integer() && found->get<int64_t>() >= low && found->get<int64_t>() <= high) {
        *value = found->get<int64_t>();
        return true;
    }
    // Forms send numbers as texts.
    if (found->is_string()) {
        const std::string& text = found->get_ref<const std::string&>();
        if (!text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos) {
            const int64_t number = std::stoll(text);
            if (number >= low && number <= high) {
                *value = number;
                return true;
            }
        }
    }
    *error = std::string(key) + " must be a whole number from " + std::to_string(low) + " to " +
             std::to_string(high);
    return false;
}

// A colour letter or kanji of the classic board, or its English name.
bool readColor(const std::string& text, uint8_t* color) {
    static const char* const NAMES[8][3] = {{},
                                            {"green", "緑"},
                                            {"orange", "橙"},
                                            {"red", "赤"},
                                            {"yellow", "黄"},
                                            {"white", "白"},
                                            {"blue", "青"},
                                            {"pink", "桃"}};
    for (uint8_t code = 1; code < 8; ++code) {
        if (text.size() == 1 && text[0] == COLOR_LETTERS[code]) {
            *color = code;
            return true;
        }
        for (const char* name : NAMES[code]) {
            if (name != nullptr && text == name) {
                *color = code;
                return true;
            }
        }
    }
    return false;
}

// "YYYY-MM-DDTHH:MM[:SS]" (or with a space), or empty.
bool looksLikeLocalTime(const std::string& text) {
    if (text.empty()) {
        return true;
    }
    if (text.size() != 16 && text.size() != 19) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool digit = c >= '0' && c <= '9';
        if (i == 4 || i == 7) {
            if (c != '-')
                return false;
        } else if (i == 10) {
            if (c != 'T' && c != ' ')
                return false;
        } else if (i == 13 || i == 16) {
            if (c != ':')
                return false;
        } else if (!digit) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool readNoticeInput(const std::string& body, bool creating, NoticeInput* input, std::string* error) {
    Json object;
    if (!readObject(body, &object, error)) {
        return false;
    }
    *input = NoticeInput{};
    const auto boards = object.find("boards");
    if (boards != object.end() && !boards->is_null()) {
        input->hasBoards = true;
        // "all", an empty text or an empty list: every board.
        if (boards->is_string() && (*boards == "all" || *boards == "")) {
        } else if (boards->is_array() && boards->size() <= 1000) {
            for (const Json& board : *boards) {
                int64_t number = 0;
                bool present = false;
                Json holder = {{"board", board}};
                if (!readInteger(holder, "board", 1, BOARD_NUMBER_MAX, &present, &number, error) ||
                    !present) {
                    *error = "boards must be \"all\" or a list of board numbers";
                    return false;
                }
                input->boards.push_back(static_cast<int32_t>(number));
            }
        } else {
            *error = "boards must be \"all\" or a list of board numbers";
            return false;
        }
    }
    bool hasJp = false;
    bool hasEn = false;
    if (!readText(object, "text_jp", NOTICE_TEXT_BYTES, &hasJp, &input->textJp, error) ||
        !readText(object, "text_en", NOTICE_TEXT_BYTES, &hasEn, &input->textEn, error)) {
        return false;
    }
    input->hasTexts = hasJp || hasEn;
    if ((creating || hasJp) && input->textJp.empty()) {
        *error = "text_jp must not be empty";
        return false;
    }
    const auto scrolling = object.find("scrolling");
    if (scrolling != object.end() && !scrolling->is_null()) {
        input->hasScrolling = true;
        if (scrolling->is_boolean()) {
            input->scrolling = scrolling->get<bool>();
        } else if (*scrolling == "true" || *scrolling == "on" || *scrolling == "scroll") {
            input->scrolling = true;
        } else if (*scrolling == "false" || *scrolling == "off" || *scrolling == "fixed") {
            input->scrolling = false;
        } else {
            *error = "scrolling must be true or false";
            return false;
        }
    }
    std::string color;
    if (!readText(object, "color", 16, &input->hasColor, &color, error)) {
        return false;
    }
    if (input->hasColor && !readColor(color, &input->color)) {
        *error = "color must be one of G O R Y W B P (or green, orange, red, yellow, white, blue, pink)";
        return false;
    }
    if (!readText(object, "start", 19, &input->hasStart, &input->start, error) ||
        !readText(object, "end", 19, &input->hasEnd, &input->end, error)) {
        return false;
    }
    if (!looksLikeLocalTime(input->start) || !looksLikeLocalTime(input->end)) {
        *error = "start and end must be local times YYYY-MM-DDTHH:MM, or empty";
        return false;
    }
    return true;
}

bool readTrainInput(const std::string& body, bool needMinutes, TrainInput* input, std::string* error) {
    Json object;
    if (!readObject(body, &object, error)) {
        return false;
    }
    *input = TrainInput{};
    bool present = false;
    int64_t number = 0;
    if (!readInteger(object, "board", 1, BOARD_NUMBER_MAX, &present, &number, error)) {
        return false;
    }
    input->board = static_cast<int32_t>(number);
    if (!readText(object, "trip_id", TRIP_ID_BYTES, &present, &input->tripId, error)) {
        return false;
    }
    if (input->tripId.empty()) {
        *error = "trip_id must name a trip";
        return false;
    }
    if (!readInteger(object, "service_date", 19000101, 29991231, &present, &number, error)) {
        return false;
    }
    // A number of the right size may still be no day (20261332): no train
    // runs on it.
    if (!present || !parseGtfsDate(std::to_string(number), &input->serviceDay)) {
        *error = present ? "service_date must be a date (YYYYMMDD)" : "service_date must be given (YYYYMMDD)";
        return false;
    }
    // One run of a trip run by frequency; without it, every run that day.
    if (!readInteger(object, "run_start", 0, LATEST_RUN_START, &present, &number, error)) {
        return false;
    }
    input->runStart = present ? static_cast<int32_t>(number) : RUN_EVERY;
    if (needMinutes) {
        if (!readInteger(object, "minutes", 1, MOST_DELAY_MINUTES, &present, &number, error)) {
            return false;
        }
        if (!present) {
            *error = "minutes must be given";
            return false;
        }
        input->minutes = static_cast<int32_t>(number);
    }
    return true;
}

bool readApproachInput(const std::string& body, int32_t* approach, std::string* error) {
    Json object;
    if (!readObject(body, &object, error)) {
        return false;
    }
    const auto mode = object.find("mode");
    if (mode != object.end() && *mode == "on") {
        *approach = APPROACH_ON;
    } else if (mode != object.end() && *mode == "off") {
        *approach = APPROACH_OFF;
    } else if (mode != object.end() && *mode == "auto") {
        *approach = APPROACH_AUTO;
    } else {
        *error = "mode must be \"on\", \"off\" or \"auto\"";
        return false;
    }
    return true;
}

std::string requestCsrfField(const std::string& body) {
    const Json object = Json::parse(body, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        return std::string();
    }
    const auto csrf = object.find("csrf");
    return csrf != object.end() && csrf->is_string() ? csrf->get<std::string>() : std::string();
}
