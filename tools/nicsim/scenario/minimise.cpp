#include "tools/nicsim/scenario/minimise.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace nicsim {

namespace {

using Json = nlohmann::ordered_json;

double At(const Json& event) { return event.value("at", 0.0); }

// A file in time order, so that it reads as the run plays it (the loader orders events by time
// anyway, keeping the file's order for equal times).
std::string Render(Json doc) {
    auto& events = doc["events"];
    std::vector<Json> sorted(events.begin(), events.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const Json& a, const Json& b) { return At(a) < At(b); });
    events = Json(sorted);
    return doc.dump(2) + "\n";
}

class Shrinker {
public:
    Shrinker(Json doc, const std::function<bool(const std::string&)>& stillFails, uint64_t budget)
        : doc_(std::move(doc)), stillFails_(stillFails), budget_(budget) {}

    Json& Doc() { return doc_; }
    uint64_t Runs() const { return runs_; }
    bool Spent() const { return runs_ >= budget_; }

    // Keeps `candidate` when it still fails.
    bool Try(const Json& candidate) {
        if (Spent()) return false;
        ++runs_;
        if (!stillFails_(Render(candidate))) return false;
        doc_ = candidate;
        return true;
    }

    // Drops runs of events, from `chunk` events at a time down to one at a time.
    void FewerEvents(size_t chunk) {
        while (chunk >= 1 && !Spent()) {
            bool dropped = false;
            for (size_t start = 0; start < doc_["events"].size() && !Spent();) {
                Json candidate = doc_;
                auto& events = candidate["events"];
                const size_t end = std::min(start + chunk, events.size());
                events.erase(events.begin() + static_cast<std::ptrdiff_t>(start),
                             events.begin() + static_cast<std::ptrdiff_t>(end));
                if (Try(candidate)) dropped = true;
                else start += chunk;
            }
            if (!dropped) chunk /= 2;
        }
    }

    // Halves a count of frames while it still fails: traffic bursts, pings, repeated sends.
    void FewerFrames() {
        static const std::pair<const char*, const char*> kCounts[] = {
            {"traffic", "frames"}, {"ping", "count"}, {"send", "repeat"}};
        for (size_t i = 0; i < doc_["events"].size() && !Spent(); ++i) {
            for (const auto& [action, key] : kCounts) {
                if (doc_["events"][i].value("do", "") != action) continue;
                while (!Spent()) {
                    const uint64_t n = doc_["events"][i].value(key, uint64_t{1});
                    if (n <= 1) break;
                    Json candidate = doc_;
                    candidate["events"][i][key] = n / 2;
                    if (!Try(candidate)) break;
                }
            }
        }
    }

    // Moves each fault halfway towards the last event while it still fails: the less of the
    // story runs under a fault, the closer the fault sits to what it breaks.
    void LaterFaults() {
        for (size_t i = 0; i < doc_["events"].size() && !Spent(); ++i) {
            for (int step = 0; step < 8 && !Spent(); ++step) {
                const Json& event = doc_["events"][i];
                if (event.value("do", "") != "fault") break;
                double last = 0;
                for (const auto& e : doc_["events"]) last = std::max(last, At(e));
                const double at = At(event);
                if (last - at < 0.001) break;
                Json candidate = doc_;
                // Whole milliseconds, as a person would write them.
                candidate["events"][i]["at"] = static_cast<double>(static_cast<uint64_t>((at + (last - at) / 2) * 1000)) / 1000;
                if (!Try(candidate)) break;
            }
        }
    }

    // Ends the run three seconds after its last event, when it still fails so.
    void ShorterRun() {
        double last = 0;
        for (const auto& e : doc_["events"]) last = std::max(last, At(e));
        const double shorter = static_cast<double>(static_cast<uint64_t>(last) + 3);
        if (doc_.contains("duration_s") && doc_["duration_s"].get<double>() <= shorter) return;
        Json candidate = doc_;
        candidate["duration_s"] = shorter;
        Try(candidate);
    }

private:
    Json doc_;
    const std::function<bool(const std::string&)>& stillFails_;
    uint64_t budget_;
    uint64_t runs_ = 0;
};

}  // namespace

Minimised Minimise(const std::string& text, const std::function<bool(const std::string&)>& stillFails,
                   uint64_t budget) {
    Shrinker s(Json::parse(text), stillFails, budget);
    Minimised out;
    out.eventsBefore = s.Doc()["events"].size();
    s.FewerEvents(std::max<size_t>(1, out.eventsBefore / 2));
    s.FewerFrames();
    s.LaterFaults();
    // With less around them, events that were needed before may not be any more.
    s.FewerEvents(1);
    s.ShorterRun();
    Json& doc = s.Doc();
    out.events = doc["events"].size();
    out.runs = s.Runs();
    doc["description"] = "Shrunk by nicsim explore --minimise to " + std::to_string(out.events) + " of " +
                         std::to_string(out.eventsBefore) + " events. " + doc.value("description", "");
    out.text = Render(doc);
    return out;
}

}  // namespace nicsim
