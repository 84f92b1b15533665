// How the operator's page names trains and notices as station staff do:
// a train by its time, type (route) and number beside its destination
// ("8:18 普通 港南行き 約7分遅れ" / "8:18 Local to Konan, 7 min late"), and
// the notices a board is asked to show but cannot, with the reason in both
// languages for that board's card.
#include <algorithm>

#include "server/operator/operatorruntime.h"

namespace {

// How many characters of a notice's text are looked for in a board's
// document: enough to tell notices apart, few enough to fit any row.
constexpr size_t NOTICE_PREFIX_CHARACTERS = 8;

// The first characters of a text as a board's document writes it (line
// breaks and TABs become spaces), cut between whole UTF-8 characters.
std::string documentPrefix(const std::string& text) {
    std::string prefix;
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) != 0x80 && ++characters > NOTICE_PREFIX_CHARACTERS) {
            break;
        }
        prefix += byte == '\t' || byte == '\r' || byte == '\n' ? ' ' : text[i];
    }
    return prefix;
}

// The route's names and the train's number, each route read once.
TrainNames lookUpNames(TrainNamer* namer, const Departure& departure) {
    TrainNames names;
    Store* store = namer->view.store.get();
    if (store == nullptr) {
        return names;
    }
    auto known = namer->routes.find(departure.routeId);
    if (known == namer->routes.end()) {
        TrainNames route;
        RouteRecord record;
        if (storeRoute(store, departure.routeId, &record)) {
            const bool useShort = !record.shortName.empty();
            const char* field = useShort ? "route_short_name" : "route_long_name";
            route.typeJp = useShort ? record.shortName : record.longName;
            route.typeEn = storeTranslation(store, "routes", field, "en", record.routeId, route.typeJp);
        }
        known = namer->routes.emplace(departure.routeId, route).first;
    }
    names = known->second;
    names.number = storeTripShortName(store, departure.tripId);
    return names;
}

// "8:18 普通 港南行き（818M）" and "8:18 Local to Konan (818M)".
void trainLabels(TrainNamer* namer, const Departure& departure, std::string* jp, std::string* en) {
    const TrainNames names = lookUpNames(namer, departure);
    const std::string time = formatClock(namer->view.zone, departure.when);
    const std::string& englishPlace =
        departure.destinations[1].empty() ? departure.destinations[0] : departure.destinations[1];
    *jp = time + " " + (names.typeJp.empty() ? "" : names.typeJp + " ") + departure.destinations[0] + "行き" +
          (names.number.empty() ? "" : "（" + names.number + "）");
    *en = time + " " + (names.typeEn.empty() ? names.typeJp : names.typeEn) +
          (names.typeEn.empty() && names.typeJp.empty() ? "" : " ") + "to " + englishPlace +
          (names.number.empty() ? "" : " (" + names.number + ")");
}

}  // namespace

TrainNamer trainNamer(Runtime* operatorRuntime) {
    TrainNamer namer;
    if (operatorRuntime->access.store) {
        namer.view = operatorRuntime->access.store();
    } else {
        namer.view.zone = operatorRuntime->access.zone ? operatorRuntime->access.zone() : nullptr;
    }
    return namer;
}

void addTrainNames(TrainNamer* namer, const Departure& departure, Json* entry) {
    const TrainNames names = lookUpNames(namer, departure);
    (*entry)["route_jp"] = names.typeJp;
    (*entry)["route_en"] = names.typeEn;
    (*entry)["train_number"] = names.number;
}

std::string trainChangeText(Runtime* operatorRuntime, const Departure* departure, TrainChangeKind kind,
                            const TrainInput& input) {
    std::string jp;
    std::string en;
    // A train of the board is named by the time it leaves here, which for a
    // trip run by frequency names the run; a change of every run of such a
    // trip, or of a train the board does not have, names the trip.
    const bool everyRun = departure != nullptr && departure->byFrequency && input.runStart == RUN_EVERY;
    if (departure != nullptr && !everyRun) {
        TrainNamer namer = trainNamer(operatorRuntime);
        trainLabels(&namer, *departure, &jp, &en);
    } else {
        jp = "列車 " + input.tripId + "（" + formatServiceDay(input.serviceDay) + "）";
        en = "train " + input.tripId + " of " + formatServiceDay(input.serviceDay);
        if (input.runStart != RUN_EVERY) {
            // A run's start as staff read it, "8:10" ("25:10" past midnight).
            const std::string start = formatClock(std::chrono::seconds{input.runStart});
            jp += " " + start + "発の便";
            en += ", the run starting " + start;
        } else if (everyRun) {
            jp += " 全便";
            en += ", every run";
        }
    }
    if (kind == TRAIN_DELAY) {
        return jp + " " + delayTextJp(input.minutes) + " / " + en + ", " + delayTextEn(input.minutes);
    }
    if (kind == TRAIN_CANCEL) {
        return jp + " 運休 / " + en + " cancelled";
    }
    return jp + " 遅延・運休を解除 / " + en + ": delay or cancellation cleared";
}

Json unshownNotices(Runtime* operatorRuntime, const BoardConfig& board, const std::string& document,
                    int64_t now) {
    Json list = Json::array();
    // A new-style board takes turns through all its notices; only a classic
    // board's rows can run out.
    if (board.newStyle) {
        return list;
    }
    for (const NoticeRecord& record : operatorRuntime->state.notices) {
        const bool forBoard = record.boards.empty() || std::find(record.boards.begin(), record.boards.end(),
                                                                 board.number) != record.boards.end();
        if (!forBoard || record.ended || record.start > now || (record.end != 0 && now >= record.end)) {
            continue;
        }
        const std::string prefix = documentPrefix(record.notice.textJp);
        if (document.find("=text\t" + prefix) != std::string::npos ||
            document.find("=scroll\t" + prefix) != std::string::npos) {
            continue;
        }
        const bool oneRow = board.rows <= 1;
        list.push_back(
            {{"id", record.id},
             {"text_jp", record.notice.textJp},
             {"reason_jp", oneRow ? "1行の発車標で、その行は次の列車の表示に使われています"
                                  : "行がすべて列車と先のお知らせ・運休の表示で埋まっています"},
             {"reason_en", oneRow ? "this one-row board's row shows the next train"
                                  : "every row is taken by trains and by earlier notices or cancellations"}});
    }
    return list;
}
