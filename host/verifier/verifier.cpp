#include "host/verifier/verifier.h"

namespace host::verifier {

void Verifier::Report(std::string_view check, std::string detail, std::string_view adapter) {
    violations_.push_back(Violation{clock_(), std::string(check), detail, std::string(adapter)});
    trace_.Emit("violation", adapter, trace::Json{{"check", check}, {"detail", detail}});
}

size_t Verifier::Count(std::string_view check) const {
    Pull();
    size_t n = 0;
    for (const auto& v : violations_)
        if (v.check == check) ++n;
    return n;
}

std::string Verifier::Describe() const {
    Pull();
    std::string out;
    for (const auto& v : violations_) {
        out += std::to_string(v.t_us) + "us " + v.check;
        if (!v.adapter.empty()) out += " [" + v.adapter + "]";
        out += ": " + v.detail + "\n";
    }
    return out;
}

}  // namespace host::verifier
