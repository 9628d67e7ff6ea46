#include "kelvra/norvane/gateway/format_gate.hpp"

namespace kelvra::norvane {

FormatGate::Verdict FormatGate::admit(uint8_t format, bool keyframe) {
    if (format == format_) {
        return Verdict::kForward;
    }
    // The first format is taken as it comes, as the viewers' sessions always have.
    if (supported(format) && (keyframe || format_ == 0)) {
        format_ = format;
        reported_drop_ = 0;
        return Verdict::kSwitch;
    }
    if (format == reported_drop_) return Verdict::kDropAgain;
    reported_drop_ = format;
    return Verdict::kDrop;
}

}  // namespace kelvra::norvane
