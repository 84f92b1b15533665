// Fuzz entry for the bodies of the operator's JSON API requests: every
// reader takes the same bytes, and whatever it accepts must be in range.
#include <cstddef>
#include <cstdint>

#include "server/operator/operator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    std::string error;
    for (bool creating : {true, false}) {
        NoticeInput notice;
        if (readNoticeInput(body, creating, &notice, &error)) {
            if ((creating && notice.textJp.empty()) || notice.color < 1 || notice.color > 7 ||
                notice.textJp.size() > 1000 || notice.textEn.size() > 1000) {
                __builtin_trap();
            }
            for (int32_t board : notice.boards) {
                if (board < 1) {
                    __builtin_trap();
                }
            }
        } else if (error.empty()) {
            __builtin_trap();  // a refusal always says why
        }
    }
    TrainInput train;
    if (readTrainInput(body, true, &train, &error) &&
        (train.tripId.empty() || train.minutes < 1 || train.minutes > 720 ||
         serviceDayNumber(train.serviceDay) < 19000101 || train.runStart < RUN_EVERY)) {
        __builtin_trap();
    }
    int32_t approach = 0;
    if (readApproachInput(body, &approach, &error) && (approach < APPROACH_AUTO || approach > APPROACH_OFF)) {
        __builtin_trap();
    }
    requestCsrfField(body);
    return 0;
}
