// Delays and cancellations set by the operator, applied to a board's
// departures before its document is written: a late train leaves later but
// shows its scheduled time with a delay text; a cancelled train is dropped
// and replaced by a notice until its scheduled time has passed. A train the
// agency's feed cancelled is shown the same way; what staff set for a train
// replaces what the feed said of it.
#include <algorithm>

#include "server/signs/signs.h"

std::string delayTextJp(int32_t minutes) {
    return "約" + std::to_string(minutes) + "分遅れ";
}

std::string delayTextEn(int32_t minutes) {
    return std::to_string(minutes) + " min late";
}

// Fills the fields of one part; hadEmpty tells whether a field in it was
// empty.
static std::string fillFields(const std::string& part,
                              const std::vector<std::pair<std::string, std::string>>& fields,
                              bool* hadEmpty) {
    std::string filled = part;
    for (const auto& [name, value] : fields) {
        for (size_t at = filled.find(name); at != std::string::npos;
             at = filled.find(name, at + value.size())) {
            filled.replace(at, name.size(), value);
            *hadEmpty = *hadEmpty || value.empty();
        }
    }
    return filled;
}

std::string fillStationText(const std::string& text,
                            const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string result;
    size_t at = 0;
    while (at < text.size()) {
        const size_t open = text.find('[', at);
        const size_t close = open == std::string::npos ? std::string::npos : text.find(']', open);
        bool hadEmpty = false;
        if (close == std::string::npos) {
            result += fillFields(text.substr(at), fields, &hadEmpty);
            break;
        }
        result += fillFields(text.substr(at, open - at), fields, &hadEmpty);
        hadEmpty = false;
        const std::string part = fillFields(text.substr(open + 1, close - open - 1), fields, &hadEmpty);
        result += hadEmpty ? std::string() : part;
        at = close + 1;
    }
    return result;
}

// A cancelled train's notice in Japanese and English, by the station's text.
static BoardNotice cancelledNotice(const StationConfig& config, const std::string& time,
                                   const Departure& departure) {
    const size_t bar = config.cancelled.find('|');
    const std::string jp = config.cancelled.substr(0, bar);
    const std::string en = bar == std::string::npos ? std::string() : config.cancelled.substr(bar + 1);
    BoardNotice notice;
    notice.textJp = fillStationText(jp, {{"{time}", time}, {"{destination}", departure.destinations[0]}});
    notice.textEn = fillStationText(en.substr(0, en.find('|')),
                                    {{"{time}", time}, {"{destination}", departure.destinations[1]}});
    notice.color = 3;  // red
    return notice;
}

void applyTrainChanges(const StationConfig& config, const BoardOverlay& overlay,
                       const std::vector<Departure>& scheduled, const date::time_zone* zone, int64_t now,
                       std::vector<Departure>* shown, std::vector<BoardNotice>* notices) {
    shown->clear();
    notices->clear();
    std::vector<BoardNotice> cancelled;
    const std::chrono::sys_seconds at = instantFromUnix(now);
    for (const Departure& given : scheduled) {
        // A run of a frequency trip may have its own change beside one of
        // every run of the trip: its own wins.
        const TrainChange* change = nullptr;
        int32_t closest = CHANGE_NAMES_NOT;
        for (const TrainChange& candidate : overlay.changes) {
            const int32_t names = changeNames(candidate, given);
            if (names != CHANGE_NAMES_NOT && names >= closest) {
                change = &candidate;
                closest = names;
            }
        }
        // What staff set wins over the agency's feed: the train as scheduled.
        Departure departure = given;
        if (change != nullptr) {
            departure.when -= std::chrono::seconds{departure.liveDelaySeconds};
            departure.liveDelaySeconds = 0;
            departure.delayMinutes = 0;
            departure.cancelled = false;
            departure.source = TRAIN_FROM_STAFF;
        }
        if ((change != nullptr && change->cancelled) || departure.cancelled) {
            if (departure.when > at) {
                cancelled.push_back(cancelledNotice(config, formatClock(zone, departure.when), departure));
            }
            continue;
        }
        // Only trains still to leave are shown; the rest need no copy.
        if (change == nullptr) {
            if (departure.when > at) {
                shown->push_back(std::move(departure));
            }
            continue;
        }
        const int32_t delayMinutes = std::max(0, change->delayMinutes);
        const std::chrono::minutes delay{delayMinutes};
        if (departure.when + delay <= at) {
            continue;
        }
        departure.delayMinutes = delayMinutes;
        departure.when += delay;
        shown->push_back(std::move(departure));
    }
    // A late train may now leave after trains scheduled behind it.
    std::stable_sort(shown->begin(), shown->end(),
                     [](const Departure& a, const Departure& b) { return a.when < b.when; });
    // Cancellations come first: they matter more than general notices.
    *notices = cancelled;
    notices->insert(notices->end(), overlay.notices.begin(), overlay.notices.end());
}

void overlayFromState(const OperatorState& state, int32_t board, int64_t now, BoardOverlay* overlay) {
    *overlay = BoardOverlay{};
    for (const NoticeRecord& record : state.notices) {
        const bool forBoard = record.boards.empty() || std::find(record.boards.begin(), record.boards.end(),
                                                                 board) != record.boards.end();
        if (forBoard && !record.ended && record.start <= now && (record.end == 0 || now < record.end)) {
            overlay->notices.push_back(record.notice);
        }
    }
    for (const ChangeRecord& record : state.changes) {
        overlay->changes.push_back(record.change);
    }
    for (const BoardControl& control : state.controls) {
        if (control.board == board) {
            overlay->approach = control.approach;
            overlay->manualMelodyKey = control.melodyKey;
            overlay->manualMelodyAt = control.melodyAt;
        }
    }
}
