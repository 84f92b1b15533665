// A board's display document for one second: classic rows of coming trains
// or the new-style sign's two lines, the melody event of the next departure,
// all written in the board's document format and then read back by the
// board's own reader. A document is accepted only when the reader took every
// field as it was meant; nothing else is ever served.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "base/utf8.h"
#include "documents/documents.h"
#include "server/realtime/realtime.h"
#include "server/signs/signs.h"

namespace {

// The longest wait between two trains of a line that runs all night. A
// longer break across the start of the next operating day is the night's
// end of service.
constexpr std::chrono::seconds NIGHT_BREAK_SECONDS{2 * 3600};
const char LANGUAGE_LETTERS[LANGUAGE_SLOTS + 1] = "jeksto";

void appendUtf8(std::string* out, uint32_t code) {
    unsigned char bytes[4];
    out->append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(encodeUtf8(code, bytes)));
}

// A text made fit for one field of a document: read as the board reads
// UTF-8 (so a malformed feed text turns into what the board would show), no
// line breaks, TABs or zero bytes (they would end the line or the field),
// "|" replaced where texts of several languages are joined, and cut to the
// field's capacity in UTF-16 units without splitting a character.
std::string fieldText(const std::string& text, int32_t capacity, bool inLanguageList) {
    std::u16string wide(text.size() + 1, u'\0');
    const int32_t length =
        decodeUtf8(reinterpret_cast<const unsigned char*>(text.data()), static_cast<int32_t>(text.size()),
                   wide.data(), static_cast<int32_t>(wide.size()));
    std::string clean;
    int32_t units = 0;
    for (int32_t i = 0; i < length; ++i) {
        uint32_t code = wide[static_cast<size_t>(i)];
        int32_t codeUnits = 1;
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < length &&
            wide[static_cast<size_t>(i) + 1] >= 0xDC00 && wide[static_cast<size_t>(i) + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (wide[static_cast<size_t>(i) + 1] - 0xDC00);
            codeUnits = 2;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code == u'\t' || code == u'\r' || code == u'\n') {
            code = u' ';
        } else if (code == u'|' && inLanguageList) {
            code = 0xFF5C;  // full-width vertical line
        }
        if (units + codeUnits > capacity - 1) {
            break;
        }
        units += codeUnits;
        i += codeUnits - 1;
        appendUtf8(&clean, code);
    }
    return clean;
}

// The UTF-16 form the reader should have stored.
bool sameText(const char16_t* stored, const std::string& intended) {
    static thread_local char16_t wide[SCROLL_TEXT_CAPACITY + 2];
    decodeUtf8(reinterpret_cast<const unsigned char*>(intended.data()), static_cast<int32_t>(intended.size()),
               wide, SCROLL_TEXT_CAPACITY + 2);
    return textEquals(stored, wide);
}

// FNV-1a: a stable short form of a long melody event key.
uint64_t fnv1a(const std::string& text) {
    uint64_t hash = 1469598103934665603ULL;
    for (const char byte : text) {
        hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211ULL;
    }
    return hash;
}

// Where the board's reader stores a field, for the field checks below.
template <auto FIELD>
const char16_t* textOf(const BoardDocument& d) {
    return d.*FIELD;
}
template <auto FIELD>
int64_t numberOf(const BoardDocument& d) {
    return static_cast<int64_t>(d.*FIELD);
}

// A plain field of the document: written once, and checked against where
// the board's reader stores it without a closure (and an allocation) of its
// own.
struct FieldCheck {
    const char* key;                                      // the document key, named when it reads otherwise
    std::string text;                                     // a text field's value as written
    const char16_t* (*storedText)(const BoardDocument&);  // the text as read; nullptr for a number
    int64_t number;                                       // a number field's value as written
    int64_t (*storedNumber)(const BoardDocument&);        // the number as read; nullptr for a text
};

// The document text together with the checks its reading must pass.
struct Writer {
    std::string text;                // the document as written so far
    std::vector<FieldCheck> fields;  // the plain fields
    // The lines that need more than one field compared.
    std::vector<std::pair<std::string, std::function<bool(const BoardDocument&)>>> checks;

    void line(const std::string& key, const std::string& value) {
        text += key + "=" + value + "\n";
    }
    void expect(const std::string& what, std::function<bool(const BoardDocument&)> check) {
        checks.emplace_back(what, std::move(check));
    }
    template <auto FIELD>
    void textField(const char* key, std::string value) {
        line(key, value);
        fields.push_back({key, std::move(value), &textOf<FIELD>, 0, nullptr});
    }
    template <auto FIELD>
    void numberField(const char* key, int32_t value) {
        line(key, std::to_string(value));
        fields.push_back({key, std::string(), nullptr, value, &numberOf<FIELD>});
    }
};

// The texts of a new-style field: the languages the board shows, each slot
// only where the feed gives a text; empty slots show Japanese on the board.
std::string languageList(const std::string* texts, const std::string& languages, std::string* slots) {
    std::string joined;
    int32_t last = 0;
    for (int32_t slot = 0; slot < LANGUAGE_SLOTS; ++slot) {
        const bool shown = slot == 0 || languages.find(LANGUAGE_LETTERS[slot]) != std::string::npos;
        slots[slot] = shown ? fieldText(texts[slot], LANG_TEXT_CAPACITY, true) : std::string();
        if (!slots[slot].empty()) {
            last = slot;
        }
    }
    for (int32_t slot = 0; slot <= last; ++slot) {
        joined += (slot == 0 ? "" : "|") + slots[slot];
    }
    return joined;
}

bool sameLangTexts(const LangTexts& stored, const std::string* slots) {
    for (int32_t slot = 0; slot < LANGUAGE_SLOTS; ++slot) {
        if (!sameText(stored.text[slot], slots[slot])) {
            return false;
        }
    }
    return true;
}

void splitLanguages(const std::string& joined, std::string* texts) {
    size_t start = 0;
    for (int32_t slot = 0; slot < LANGUAGE_SLOTS; ++slot) {
        const size_t bar = joined.find('|', start);
        texts[slot] = joined.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
        if (bar == std::string::npos) {
            for (int32_t rest = slot + 1; rest < LANGUAGE_SLOTS; ++rest) {
                texts[rest].clear();
            }
            return;
        }
        start = bar + 1;
    }
}

// What a train's row says in one language: by the board's train template,
// else the destination.
const std::string& rowText(const Departure& departure, int32_t slot) {
    return departure.trainTexts[slot].empty() ? departure.destinations[slot] : departure.trainTexts[slot];
}

// The texts of a new-style train line. The sign draws the Japanese text
// beside the text of the language showing, so a sign without Japanese gets
// no Japanese text (its languages their own, else the feed's), and shows
// each name once.
void trainTexts(const Departure& departure, const std::string& languages, std::string* texts) {
    for (int32_t slot = 0; slot < LANGUAGE_SLOTS; ++slot) {
        texts[slot] = rowText(departure, slot);
    }
    if (languages.find(LANGUAGE_LETTERS[0]) != std::string::npos) {
        return;
    }
    for (int32_t slot = 1; slot < LANGUAGE_SLOTS; ++slot) {
        if (texts[slot].empty() && languages.find(LANGUAGE_LETTERS[slot]) != std::string::npos) {
            texts[slot] = texts[0];
        }
    }
    texts[0].clear();
}

// Whether a departure leaves within so many seconds of now (or has left).
bool leavesWithin(const Departure& departure, int64_t now, int64_t seconds) {
    return departure.when - instantFromUnix(now) <= std::chrono::seconds{seconds};
}

// The time a board shows for a departure: as scheduled, also when late.
std::string shownClock(const date::time_zone* zone, const Departure& departure) {
    return fieldText(formatClock(zone, departure.when - std::chrono::minutes{departure.delayMinutes}),
                     TIME_CAPACITY, false);
}

// One of the station's own texts in every language slot, its "{name}"
// field filled in.
void stationTexts(const std::string& pattern, const std::string& field, const std::string& value,
                  std::string* texts) {
    splitLanguages(pattern, texts);
    for (int32_t slot = 0; slot < LANGUAGE_SLOTS; ++slot) {
        std::string& text = texts[slot];
        for (size_t at = text.find(field); !field.empty() && at != std::string::npos;
             at = text.find(field, at + value.size())) {
            text.replace(at, field.size(), value);
        }
    }
}

// The two texts of a classic row: Japanese and English on a board of both;
// a board of one of them shows that language's text (else the other's) in
// both phases, so nothing is shown twice or in a language the station has
// not chosen.
void classicTexts(const std::string* texts, const std::string& languages, std::string* jp, std::string* en) {
    const bool japanese = languages.find('j') != std::string::npos;
    const bool english = languages.find('e') != std::string::npos;
    if (english && !japanese) {
        *jp = texts[1].empty() ? texts[0] : texts[1];
        *en = std::string();
    } else if (japanese && !english) {
        *jp = texts[0];
        *en = std::string();
    } else {
        *jp = texts[0];
        *en = texts[1];
    }
}

// The station's delay text in one language slot (Japanese where the slot
// has none).
std::string delayText(const StationConfig& config, int32_t slot, int32_t minutes) {
    std::string texts[LANGUAGE_SLOTS];
    stationTexts(config.delay, "{minutes}", std::to_string(minutes), texts);
    return texts[slot].empty() ? texts[0] : texts[slot];
}

// A destination with the delay text after it when the train is late.
std::string withDelay(const StationConfig& config, const std::string& destination, int32_t minutes,
                      int32_t slot) {
    if (minutes <= 0 || destination.empty()) {
        return destination;
    }
    return destination + (slot == 0 ? "\u3000" : " ") + delayText(config, slot, minutes);
}

// A late train's delay as a notice of its own, for the new-style sign's
// lower line: "7:20発 港南行 約5分遅れ" / "7:20 to Konan: 5 min late".
BoardNotice delayNotice(const StationConfig& config, const date::time_zone* zone,
                        const Departure& departure) {
    const std::string time = shownClock(zone, departure);
    BoardNotice notice;
    notice.textJp =
        time + "発 " + departure.destinations[0] + "行 " + delayText(config, 0, departure.delayMinutes);
    notice.textEn = time +
                    (departure.destinations[1].empty() ? std::string() : " to " + departure.destinations[1]) +
                    ": " + delayText(config, 1, departure.delayMinutes);
    return notice;
}

// A notice's colour letter: yellow where the operator chose none.
char noticeLetter(uint8_t color) {
    return COLOR_LETTERS[color & 7] != 0 ? COLOR_LETTERS[color & 7] : 'Y';
}

// The classic rows of the operator's notices: a fixed notice alternates its
// Japanese and English texts, a scrolling one runs both in one line.
void writeClassicNotices(Writer* w, const BoardConfig& board, const std::vector<BoardNotice>& notices,
                         size_t firstRow) {
    for (size_t i = 0; i < notices.size(); ++i) {
        const BoardNotice& notice = notices[i];
        const size_t row = firstRow + i;
        const std::string colorLetter(1, noticeLetter(notice.color));
        if (notice.scrolling) {
            const std::string joined =
                notice.textEn.empty() ? notice.textJp : notice.textJp + "\u3000" + notice.textEn;
            const std::string text = fieldText(joined, CLASSIC_TEXT_CAPACITY, false);
            w->line("line", "scroll\t" + text + "\t" + colorLetter);
            w->expect("notice row", [=](const BoardDocument& d) {
                return d.lines[row].kind == LINE_SCROLL && sameText(d.lines[row].text, text);
            });
        } else {
            const std::string texts[LANGUAGE_SLOTS] = {notice.textJp, notice.textEn};
            std::string jpText;
            std::string enText;
            classicTexts(texts, board.languages, &jpText, &enText);
            const std::string jp = fieldText(jpText, CLASSIC_TEXT_CAPACITY, false);
            const std::string en = fieldText(enText, CLASSIC_TEXT_EN_CAPACITY, false);
            w->line("line", "text\t" + jp + "\t" + en + "\t" + colorLetter + "\tc");
            w->expect("notice row", [=](const BoardDocument& d) {
                return d.lines[row].kind == LINE_TEXT && sameText(d.lines[row].text, jp) &&
                       sameText(d.lines[row].textEn, en);
            });
        }
    }
}

// The platform a board shows: as configured or as the feed names it. A
// board's own number is no platform: a passenger would take it for one.
std::string platformOf(const BoardTimetable& timetable) {
    return timetable.platform;
}

// How long each language shows, where the station sets it.
void writePhaseTimes(Writer* w, const StationConfig& config, bool newStyle) {
    if (!newStyle && config.japaneseMs >= 0) {
        w->numberField<&BoardDocument::jpMs>("jpMs", config.japaneseMs);
    }
    if (!newStyle && config.englishMs >= 0) {
        w->numberField<&BoardDocument::enMs>("enMs", config.englishMs);
    }
    if (newStyle && config.languageMs >= 0) {
        w->numberField<&BoardDocument::langMs>("langMs", config.languageMs);
    }
}

// A centred text row of the station's own texts.
void writeClassicText(Writer* w, const BoardConfig& board, const std::string* texts, size_t row) {
    std::string jpText;
    std::string enText;
    classicTexts(texts, board.languages, &jpText, &enText);
    const std::string jp = fieldText(jpText, CLASSIC_TEXT_CAPACITY, false);
    const std::string en = fieldText(enText, CLASSIC_TEXT_EN_CAPACITY, false);
    w->line("line", "text\t" + jp + "\t" + en + "\t\tc");
    w->expect("text row " + std::to_string(row + 1), [=](const BoardDocument& d) {
        return d.lines[row].kind == LINE_TEXT && sameText(d.lines[row].text, jp) &&
               sameText(d.lines[row].textEn, en);
    });
}

void writeClassic(Writer* w, const StationConfig& config, const BoardConfig& board,
                  const BoardTimetable& timetable, const std::vector<const Departure*>& coming,
                  const Departure* firstTrain, const date::time_zone* zone, int64_t now,
                  const std::vector<BoardNotice>& allNotices) {
    const bool named = !timetable.platform.empty();
    w->text = "velmorant 2\n";
    w->expect("header", [](const BoardDocument& d) { return d.isNewStyle == 0; });
    w->textField<&BoardDocument::platform>("platform",
                                           fieldText(platformOf(timetable), PLATFORM_CAPACITY, false));
    w->textField<&BoardDocument::labelJp>(
        "labelJp", fieldText(board.labelJp.empty() && named ? platformOf(timetable) + "番線" : board.labelJp,
                             LABEL_JP_CAPACITY, false));
    w->textField<&BoardDocument::labelEn>(
        "labelEn",
        fieldText(board.labelEn.empty() && named ? "Track " + platformOf(timetable) : board.labelEn,
                  LABEL_EN_CAPACITY, false));
    w->line("capTime", fieldText(board.captionTime, CAPTION_CAPACITY, false));
    w->line("capDest", fieldText(board.captionDest, CAPTION_CAPACITY, false));
    w->numberField<&BoardDocument::width>("width", board.width);
    w->numberField<&BoardDocument::rows>("rows", board.rows);
    writePhaseTimes(w, config, false);
    // Notices take the lowest rows; the top row keeps the next train (or
    // the end of service), except that a one-row board with no train left
    // shows a notice instead.
    const size_t rowCount = static_cast<size_t>(board.rows);
    const bool noticeOnly = coming.empty() && rowCount == 1 && !allNotices.empty();
    const size_t noticeCount = noticeOnly ? 1 : std::min(allNotices.size(), rowCount - 1);
    const std::vector<BoardNotice> notices(allNotices.begin(),
                                           allNotices.begin() + static_cast<std::ptrdiff_t>(noticeCount));
    const size_t trains = std::min<size_t>(coming.size(), rowCount - notices.size());
    for (size_t i = 0; i < trains; ++i) {
        const Departure& departure = *coming[i];
        const std::string time = shownClock(zone, departure);
        std::string texts[LANGUAGE_SLOTS];
        for (int32_t slot = 0; slot < 2; ++slot) {
            texts[slot] = withDelay(config, rowText(departure, slot), departure.delayMinutes, slot);
        }
        std::string jp;
        std::string en;
        classicTexts(texts, board.languages, &jp, &en);
        const std::string destination = fieldText(jp, CLASSIC_TEXT_CAPACITY, false);
        const std::string english = fieldText(en, CLASSIC_TEXT_EN_CAPACITY, false);
        const uint8_t color = departure.color;
        const int32_t blink = leavesWithin(departure, now, board.blinkSeconds) ? 1 : 0;
        std::string value = "train\t" + time + "\t" + destination + "\t" + english + "\t";
        if (color != 0) {
            value += COLOR_LETTERS[color];
        }
        value += "\t" + std::to_string(blink);
        w->line("line", value);
        w->expect("train row " + std::to_string(i + 1), [=](const BoardDocument& d) {
            const ClassicLine& l = d.lines[i];
            return l.kind == LINE_TRAIN && sameText(l.time, time) && sameText(l.text, destination) &&
                   sameText(l.textEn, english) && l.color == color && l.blink == blink;
        });
    }
    if (coming.empty() && !noticeOnly) {
        std::string texts[LANGUAGE_SLOTS];
        stationTexts(config.endOfService, "", "", texts);
        writeClassicText(w, board, texts, 0);
    }
    // The next day's first train in the row after the day's last train (or
    // after the end of service), when a row is free of notices.
    const size_t firstTrainRow = coming.empty() ? 1 : trains;
    const bool firstTrainShown =
        !noticeOnly && firstTrain != nullptr && firstTrainRow + notices.size() < rowCount;
    if (firstTrainShown) {
        std::string texts[LANGUAGE_SLOTS];
        stationTexts(config.firstTrain, "{time}", shownClock(zone, *firstTrain), texts);
        writeClassicText(w, board, texts, firstTrainRow);
    }
    writeClassicNotices(w, board, notices, noticeOnly ? 0 : firstTrainRow + (firstTrainShown ? 1 : 0));
}

// An operator's notice on a new-style board's lower line: scrolling in one
// line, or in frames of the board's languages.
void writeNewStyleNotice(Writer* w, const BoardConfig& board, const BoardNotice& notice) {
    if (notice.scrolling) {
        const std::string joined =
            notice.textEn.empty() ? notice.textJp : notice.textJp + "\u3000" + notice.textEn;
        const std::string text = fieldText(joined, SCROLL_TEXT_CAPACITY, false);
        const char letter = noticeLetter(notice.color);
        w->line("msg", std::string("scroll\t") + letter + "\t" + text);
        w->expect("notice", [=](const BoardDocument& d) {
            return d.msg.kind == MSG_SCROLL && sameText(d.msg.scrollText, text);
        });
    } else {
        std::string texts[LANGUAGE_SLOTS] = {notice.textJp, notice.textEn};
        std::string slots[LANGUAGE_SLOTS];
        w->line("msg", "frame\t" + languageList(texts, board.languages, slots));
        w->expect("notice", [=](const BoardDocument& d) {
            return d.msg.kind == MSG_FRAME && sameLangTexts(d.msg.texts, slots);
        });
    }
}

// The train-position diagram: three stations with where the train is.
void writePositionDiagram(Writer* w, const BoardConfig& board, const PositionDiagram& diagram) {
    std::string value = "pos\t" + std::to_string(diagram.position) + "\t\t\t";
    std::string slots[3][LANGUAGE_SLOTS];
    for (int32_t station = 0; station < 3; ++station) {
        std::string texts[LANGUAGE_SLOTS] = {diagram.names[station][0], diagram.names[station][1]};
        value += "\t" + languageList(texts, board.languages, slots[station]);
    }
    w->line("msg", value);
    const int32_t position = diagram.position;
    w->expect("position diagram", [=](const BoardDocument& d) {
        bool same = d.msg.kind == MSG_POS && d.msg.position == position;
        for (int32_t station = 0; station < 3 && same; ++station) {
            same = sameLangTexts(d.msg.stationNames[station], slots[station]);
        }
        return same;
    });
}

// The lower line of a new-style sign.
void writeNewStyleLower(Writer* w, const StationConfig& config, const BoardConfig& board,
                        const std::vector<const Departure*>& coming, const Departure* firstTrain,
                        const date::time_zone* zone, int64_t now, const std::vector<BoardNotice>& notices,
                        int32_t approach, const PositionDiagram* diagram) {
    // The lower line: the approach warning (when the next train is near or
    // the operator forces it), else the delays of the two trains shown and
    // the operator's notices (several take turns every ten seconds), else the
    // train after the next. A delay has a line of its own: beside the
    // destination, in the train line's narrow columns, it would be squeezed
    // past reading.
    std::vector<BoardNotice> lower;
    for (size_t i = 0; i < coming.size() && i < 2; ++i) {
        if (coming[i]->delayMinutes > 0) {
            lower.push_back(delayNotice(config, zone, *coming[i]));
        }
    }
    lower.insert(lower.end(), notices.begin(), notices.end());
    // With the day's last train or after it, the next day's first train, as
    // a notice of the lower line when there is none else.
    if (lower.empty() && coming.size() <= 1 && firstTrain != nullptr) {
        std::string texts[LANGUAGE_SLOTS];
        stationTexts(config.firstTrain, "{time}", shownClock(zone, *firstTrain), texts);
        BoardNotice first;
        first.textJp = texts[0];
        first.textEn = texts[1];
        lower.push_back(first);
    }
    // Where the agency's feed says where the next train is, that decides
    // whether it is near; else its time does.
    const bool near = diagram != nullptr
                          ? diagram->position == 1
                          : !coming.empty() && leavesWithin(*coming[0], now, board.approachSeconds);
    // The live position diagram takes its turn with the notices.
    const bool showDiagram = diagram != nullptr && diagram->position >= 0;
    const size_t turns = lower.size() + (showDiagram ? 1 : 0);
    if (approach == APPROACH_ON || (approach == APPROACH_AUTO && near)) {
        std::string labelTexts[LANGUAGE_SLOTS];
        std::string messageTexts[LANGUAGE_SLOTS];
        splitLanguages(board.approachLabel, labelTexts);
        splitLanguages(board.approachMessage, messageTexts);
        std::string label[LANGUAGE_SLOTS];
        std::string message[LANGUAGE_SLOTS];
        const std::string labelList = languageList(labelTexts, board.languages, label);
        const std::string messageList = languageList(messageTexts, board.languages, message);
        w->line("msg", "approach\t" + labelList + "\t" + messageList);
        w->expect("approach warning", [=](const BoardDocument& d) {
            return d.msg.kind == MSG_APPROACH && sameLangTexts(d.msg.texts, label) &&
                   sameLangTexts(d.msg.texts2, message);
        });
    } else if (showDiagram && static_cast<size_t>(now / 10) % turns == 0) {
        writePositionDiagram(w, board, *diagram);
    } else if (!lower.empty()) {
        const size_t turn = static_cast<size_t>(now / 10) % turns;
        const BoardNotice& notice = lower[showDiagram ? turn - 1 : turn];
        writeNewStyleNotice(w, board, notice);
    } else if (coming.size() > 1) {
        const Departure& after = *coming[1];
        const std::string time = shownClock(zone, after);
        std::string texts[LANGUAGE_SLOTS];
        trainTexts(after, board.languages, texts);
        std::string slots[LANGUAGE_SLOTS];
        w->line("msg", "train\t" + time + "\t0\t\t" + languageList(texts, board.languages, slots));
        w->expect("lower line", [=](const BoardDocument& d) {
            return d.msg.kind == MSG_TRAIN && sameText(d.msg.time, time) && sameLangTexts(d.msg.texts, slots);
        });
    } else {
        w->expect("no lower line", [](const BoardDocument& d) { return d.msg.kind == MSG_NONE; });
    }
}

void writeNewStyle(Writer* w, const StationConfig& config, const BoardConfig& board,
                   const BoardTimetable& timetable, const std::vector<const Departure*>& coming,
                   const Departure* firstTrain, const date::time_zone* zone, int64_t now,
                   const std::vector<BoardNotice>& notices, int32_t approach,
                   const PositionDiagram* diagram) {
    // The direction: as configured, else where the next train goes.
    const std::string* nextTexts = coming.empty() ? nullptr : &coming[0]->destinations[0];
    const uint32_t color = (timetable.hasLineColor ? timetable.lineColor : NEW_STYLE_COLOR) & 0xFFFFFF;
    char colorText[8];
    std::snprintf(colorText, sizeof colorText, "%06X", color);
    const char16_t side = board.side == 'R' ? u'R' : u'L';
    w->text = "velmorant-new 1\n";
    w->expect("header", [](const BoardDocument& d) { return d.isNewStyle == 1; });
    w->textField<&BoardDocument::platform>("platform",
                                           fieldText(platformOf(timetable), PLATFORM_CAPACITY, false));
    w->line("side", side == u'R' ? "r" : "l");
    w->expect("side", [=](const BoardDocument& d) { return d.side == side; });
    w->textField<&BoardDocument::lineJp>("lineJp",
                                         fieldText(timetable.lineTexts[0], LINE_JP_CAPACITY, false));
    w->textField<&BoardDocument::lineEn>("lineEn",
                                         fieldText(timetable.lineTexts[1], LINE_EN_CAPACITY, false));
    w->textField<&BoardDocument::viaJp>(
        "viaJp", fieldText(!board.viaJp.empty() ? board.viaJp : (nextTexts != nullptr ? nextTexts[0] : ""),
                           VIA_JP_CAPACITY, false));
    w->textField<&BoardDocument::viaEn>(
        "viaEn", fieldText(!board.viaEn.empty() ? board.viaEn : (nextTexts != nullptr ? nextTexts[1] : ""),
                           VIA_EN_CAPACITY, false));
    w->line("color", colorText);
    w->expect("color", [=](const BoardDocument& d) { return d.color == color; });
    w->textField<&BoardDocument::langs>("langs", fieldText(board.languages, LANGS_CAPACITY, false));
    writePhaseTimes(w, config, true);
    if (coming.empty()) {
        std::string texts[LANGUAGE_SLOTS];
        stationTexts(config.endOfService, "", "", texts);
        std::string slots[LANGUAGE_SLOTS];
        w->line("row", "text\t" + languageList(texts, board.languages, slots));
        w->expect("end-of-service line", [=](const BoardDocument& d) {
            return d.row.kind == ROW_TEXT && sameLangTexts(d.row.texts, slots);
        });
    } else {
        const Departure& next = *coming[0];
        const std::string time = shownClock(zone, next);
        const int32_t blink = leavesWithin(next, now, board.blinkSeconds) ? 1 : 0;
        std::string texts[LANGUAGE_SLOTS];
        trainTexts(next, board.languages, texts);
        std::string slots[LANGUAGE_SLOTS];
        w->line("row", "train\t" + time + "\t" + std::to_string(blink) + "\t\t" +
                           languageList(texts, board.languages, slots));
        w->expect("upper line", [=](const BoardDocument& d) {
            return d.row.kind == ROW_TRAIN && sameText(d.row.time, time) && d.row.blink == blink &&
                   sameLangTexts(d.row.trainTexts, slots);
        });
    }
    writeNewStyleLower(w, config, board, coming, firstTrain, zone, now, notices, approach, diagram);
}

// The melody event of the next departure, from the lead time until it
// leaves. Its key names the trip, its service day and its time, so a board
// plays it once; its age lets a board that starts late skip it.
void writeSound(Writer* w, const StationConfig& config, const BoardConfig& board,
                const std::vector<const Departure*>& coming, int64_t now, const BoardOverlay* overlay,
                std::vector<std::string>* problems) {
    const Departure* event = nullptr;
    if (!board.melody.empty() && !coming.empty() && !coming[0]->notInService &&
        leavesWithin(*coming[0], now, board.melodyLeadSeconds)) {
        event = coming[0];
    }
    // A melody played by hand is an event of its own, with its own key.
    const bool manual = !board.melody.empty() && overlay != nullptr && !overlay->manualMelodyKey.empty() &&
                        now >= overlay->manualMelodyAt &&
                        now - overlay->manualMelodyAt < MANUAL_MELODY_SECONDS;
    if (event == nullptr && !manual) {
        w->expect("no melody", [](const BoardDocument& d) { return d.melodyName[0] == 0; });
        return;
    }
    std::string path;
    const int64_t size = melodyFileSize(config, board.melody, &path);
    if (size <= 0 || size > INT32_MAX) {
        problems->push_back("melody file " + path + " is missing or empty");
        w->expect("no melody", [](const BoardDocument& d) { return d.melodyName[0] == 0; });
        return;
    }
    // A trip id that does not fit the key, or holds characters a document
    // field cannot carry, is shortened by a hash of the whole key.
    std::string key = manual ? overlay->manualMelodyKey
                             : event->tripId + "@" + std::to_string(serviceDayNumber(event->serviceDay)) +
                                   "+" + std::to_string(event->departure);
    if (fieldText(key, MELODY_KEY_CAPACITY, false) != key) {
        char hash[24];
        std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(fnv1a(key)));
        key = fieldText(manual ? key : event->tripId, 40, false) + hash;
    }
    const int32_t age = static_cast<int32_t>(
        manual
            ? now - overlay->manualMelodyAt
            : (instantFromUnix(now) - (event->when - std::chrono::seconds{board.melodyLeadSeconds})).count());
    const std::string name = board.melody;
    const int32_t size32 = static_cast<int32_t>(size);
    w->line("sound", name + "\t" + key + "\t" + std::to_string(age) + "\t" + std::to_string(size32));
    w->expect("melody", [=](const BoardDocument& d) {
        return sameText(d.melodyName, name) && sameText(d.melodyKey, key) && d.melodyAge == age &&
               d.melodySize == size32;
    });
}

// Whether the day's service is over at now: no train leaves before the next
// operating day starts, and the wait for the next one is a night's break
// rather than the gap between two trains of a line that runs all night.
// A timetable that does not know its next day ends only when no train is
// left.
bool serviceEnded(const BoardTimetable& timetable, const std::vector<const Departure*>& coming, int64_t now) {
    if (coming.empty()) {
        return true;
    }
    const std::chrono::sys_seconds nextDay = timetable.nextDayStart;
    if (nextDay == std::chrono::sys_seconds{} || coming[0]->when < nextDay) {
        return false;
    }
    const std::chrono::sys_seconds at = instantFromUnix(now);
    std::chrono::sys_seconds lastLeft = std::chrono::sys_seconds::min();
    for (const Departure& departure : timetable.departures) {
        if (departure.when <= at) {
            lastLeft = std::max(lastLeft, departure.when);
        }
    }
    return lastLeft == std::chrono::sys_seconds::min() || coming[0]->when - lastLeft > NIGHT_BREAK_SECONDS;
}

// The rows end with the day's last train: the trains after the night's
// break (from the next operating day on, after a wait longer than a gap in
// an all-night service) belong to the next day. Listed under tonight's
// trains they would read as more trains today, so the board names only the
// next day's first train, as it does once the day is over. The first train
// after the break, or nothing when there is no break.
const Departure* endAtNightBreak(const BoardTimetable& timetable, std::vector<const Departure*>* coming) {
    const std::chrono::sys_seconds nextDay = timetable.nextDayStart;
    if (nextDay == std::chrono::sys_seconds{}) {
        return nullptr;
    }
    for (size_t i = 1; i < coming->size(); ++i) {
        const Departure* train = (*coming)[i];
        if (train->when >= nextDay && train->when - (*coming)[i - 1]->when > NIGHT_BREAK_SECONDS) {
            coming->resize(i);
            return train;
        }
    }
    return nullptr;
}

}  // namespace

std::mutex boardReaderLock;

// Accepts the document only when the board's own reader reads every field
// as it was written. The reader's scratch buffer is shared, so one reading
// at a time.
static void readBack(const Writer& w, BuiltDocument* document) {
    document->accepted = false;
    std::lock_guard<std::mutex> hold(boardReaderLock);
    static BoardDocument stored;
    if (document->text.size() > static_cast<size_t>(DOCUMENT_BODY_CAPACITY)) {
        document->problems.push_back("document larger than a board accepts");
        return;
    }
    if (parseDisplayDocument(reinterpret_cast<const unsigned char*>(document->text.data()),
                             static_cast<int32_t>(document->text.size()), &stored) != 1) {
        document->problems.push_back("the board's reader rejects the document");
        return;
    }
    for (const FieldCheck& field : w.fields) {
        const bool same = field.storedText != nullptr ? sameText(field.storedText(stored), field.text)
                                                      : field.storedNumber(stored) == field.number;
        if (!same) {
            document->problems.push_back("the board's reader does not read the " + std::string(field.key) +
                                         " as written");
            return;
        }
    }
    for (const auto& [what, check] : w.checks) {
        if (!check(stored)) {
            document->problems.push_back("the board's reader does not read the " + what + " as written");
            return;
        }
    }
    document->accepted = true;
}

void buildDocument(const StationConfig& config, const BoardConfig& board, const BoardTimetable& timetable,
                   const date::time_zone* zone, int64_t now, BuiltDocument* document,
                   const BoardOverlay* overlay, RealtimeBoardCache* feedCache,
                   const std::string* acceptedBefore) {
    document->problems = timetable.problems;
    // Delays move departures and cancellations drop them (with a notice).
    // A board without delays or cancellations reads the shared timetable as it
    // is: copying a whole day's departures every second is what would slow a
    // server with thousands of boards.
    std::vector<Departure> changed;
    std::vector<BoardNotice> notices;
    // Live trains from the agency's feed first (with its alerts); what staff
    // set is applied after it and wins.
    const std::shared_ptr<const RealtimeSnapshot> feed = realtimeCurrent(now);
    static const std::vector<TrainChange> NO_CHANGES;
    const std::vector<TrainChange>& staff = overlay != nullptr ? overlay->changes : NO_CHANGES;
    std::vector<Departure> fed;
    std::vector<BoardNotice> alerts;
    const std::vector<Departure>* scheduledNow = &timetable.departures;
    if (feed != nullptr && feedCache != nullptr) {
        scheduledNow = &applyRealtimeKept(feed, board, timetable, staff, now, feedCache, &alerts);
    } else if (feed != nullptr) {
        applyRealtime(*feed, board, timetable.departures, staff, now, &fed, &alerts);
        scheduledNow = &fed;
    }
    const std::vector<Departure>& scheduled = *scheduledNow;
    static const BoardOverlay NOTHING_SET;
    // The feed's trains are already by their live time: only its
    // cancellations (which become notices) and staff's changes need another
    // pass, and a copy of every coming train.
    const bool feedCancelled =
        feed != nullptr && std::any_of(scheduled.begin(), scheduled.end(),
                                       [](const Departure& departure) { return departure.cancelled; });
    const bool trainsChanged = feedCancelled || (overlay != nullptr && !overlay->changes.empty());
    if (trainsChanged) {
        applyTrainChanges(config, overlay != nullptr ? *overlay : NOTHING_SET, scheduled, zone, now, &changed,
                          &notices);
    } else if (overlay != nullptr) {
        notices = overlay->notices;
    }
    notices.insert(notices.end(), alerts.begin(), alerts.end());
    const std::vector<Departure>& departures = trainsChanged ? changed : scheduled;
    std::vector<const Departure*> coming;
    for (const Departure& departure : departures) {
        if (departure.when > instantFromUnix(now)) {
            coming.push_back(&departure);
        }
    }
    // Once the day's service is over the board says so and names the next
    // day's first train instead of listing it; before, it names that train
    // after the day's last ones where a row is free.
    const Departure* firstTrain = nullptr;
    if (serviceEnded(timetable, coming, now)) {
        firstTrain = coming.empty() ? nullptr : coming[0];
        coming.clear();
    } else {
        firstTrain = endAtNightBreak(timetable, &coming);
    }
    const int32_t approach = overlay != nullptr ? overlay->approach : APPROACH_AUTO;
    Writer w;
    w.fields.reserve(16);
    w.checks.reserve(16);
    PositionDiagram diagram;
    const bool live =
        feed != nullptr && board.newStyle && !coming.empty() && realtimeDiagram(*feed, *coming[0], &diagram);
    if (board.newStyle) {
        writeNewStyle(&w, config, board, timetable, coming, firstTrain, zone, now, notices, approach,
                      live ? &diagram : nullptr);
    } else {
        writeClassic(&w, config, board, timetable, coming, firstTrain, zone, now, notices);
    }
    writeSound(&w, config, board, coming, now, overlay, &document->problems);
    w.text += "end\n";
    document->text = std::move(w.text);
    if (acceptedBefore != nullptr && document->text == *acceptedBefore) {
        document->accepted = true;
        return;
    }
    readBack(w, document);
}
