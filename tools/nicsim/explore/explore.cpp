#include "tools/nicsim/explore/explore.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "tools/nicsim/run/accounts.h"
#include "tools/nicsim/cli/input.h"
#include "tools/nicsim/scenario/minimise.h"
#include "tools/nicsim/run/runner.h"
#include "tools/nicsim/cli/seed_json.h"
#include "tools/nicsim/cli/standard_output.h"
#include "tools/nicsim/run/verdict.h"

namespace nicsim {

using host::trace::Json;

namespace {

constexpr unsigned kMaxShards = 1'000'000;

// The fields of a summary that say which sweep it belongs to: shards merge only when they agree.
constexpr const char* kSweepFields[] = {"scenario", "source", "sha256", "first", "last",
                                        "cpus", "usb_timing", "until_s", "time_limit_s"};

}  // namespace

std::optional<std::pair<uint64_t, uint64_t>> ParseSeedRange(std::string_view text) {
    const size_t dots = text.find("..");
    if (dots == std::string_view::npos) return std::nullopt;
    const auto a = ParseUint64(text.substr(0, dots));
    const auto b = ParseUint64(text.substr(dots + 2));
    if (!a || !b || *a > *b) return std::nullopt;
    return std::pair{*a, *b};
}

std::optional<std::pair<unsigned, unsigned>> ParseShard(std::string_view text) {
    const size_t slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const auto k = ParseUint64(text.substr(0, slash));
    const auto n = ParseUint64(text.substr(slash + 1));
    if (!k || !n || *k < 1 || *k > *n || *n > kMaxShards) return std::nullopt;
    return std::pair{static_cast<unsigned>(*k), static_cast<unsigned>(*n)};
}

CLI::Validator SeedRangeCheck() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (!ParseSeedRange(text))
                return "\"" + text + "\" is not a seed range: FIRST..LAST, two whole numbers from 0 to "
                       "18446744073709551615 (64 bits), FIRST at most LAST";
            return {};
        },
        "FIRST..LAST", "seed range");
}

CLI::Validator ShardCheck() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (!ParseShard(text))
                return "\"" + text + "\" is not a shard: K/N, whole numbers with 1 <= K <= N <= " +
                       std::to_string(kMaxShards);
            return {};
        },
        "K/N", "shard");
}

std::pair<uint64_t, uint64_t> ShardRange(uint64_t first, uint64_t last, unsigned shard, unsigned shards) {
    if (shards == 0) return {first, last};
    // Shard k takes the offsets [count*(k-1)/shards, count*k/shards). The count may be 2^64
    // (0..18446744073709551615), so it is held as quotient and remainder of shards:
    // count = q*shards + r with 1 <= r <= shards, and count*j/shards = q*j + r*j/shards, where
    // r*j stays below 10^12. Only count*shards/shards itself can reach 2^64, and it is used less
    // one, which wraps back to the last seed.
    const uint64_t span = last - first;  // the count less one
    const uint64_t q = span / shards;
    const uint64_t r = span % shards + 1;
    const auto offset = [&](uint64_t j) { return q * j + r * j / shards; };
    if (q == 0 && r * shard / shards == r * (shard - 1) / shards) return {1, 0};
    return {first + offset(shard - 1), first + offset(shard) - 1};
}

namespace {

std::string Replay(SeedSource& source, const ExploreOptions& o, uint64_t seed) {
    std::vector<std::string> args{"nicsim", "run"};
    for (auto& a : source.ReplayArgs(seed)) args.push_back(a);
    args.insert(args.end(), {"--seed", std::to_string(seed)});
    if (o.cpus) args.insert(args.end(), {"--cpus", std::to_string(*o.cpus)});
    if (!o.usbTiming.empty()) args.insert(args.end(), {"--usb-timing", o.usbTiming});
    if (!o.until.empty()) args.insert(args.end(), {"--until", o.until});
    if (!o.imagePath.empty()) args.insert(args.end(), {"--image", o.imagePath});
    if (o.callsOnly) args.insert(args.end(), {"--points", "calls"});
    return ShellCommand(args);
}

Json FailureRecord(SeedSource& source, const ExploreOptions& o, uint64_t seed) {
    const Scenario& s = source.ScenarioFor(seed);
    return Json{{"record", "failure"}, {"seed", seed},          {"scenario", s.name}, {"source", s.source},
                {"sha256", s.sha256},  {"kind", nullptr},      {"detail", nullptr},  {"adapter", nullptr},
                {"t_us", nullptr},     {"violations", 0},      {"replay", Replay(source, o, seed)}};
}

RunOutcome Play(const Scenario& scenario, const ExploreOptions& o, uint64_t seed) {
    RunOptions run;
    run.seed = seed;
    run.untilSeconds = o.untilSeconds;
    run.cpus = o.cpus;
    run.fullSpeedUsb = o.usbTiming == "full-speed";
    run.image = o.image;
    run.callsOnly = o.callsOnly;
    return PlayScenario(scenario, run);
}

// The first thing that went wrong in a run, as a failure kind: the verifier's check, or
// "accounts"; empty when nothing did.
std::string FailureKind(const RunOutcome& out) {
    if (!out.violations.empty()) return out.violations.front().check;
    for (auto& [name, c] : out.adapters.items())
        if (!UnbalancedAccounts(c).empty()) return "accounts";
    return {};
}

// Shrinks the scenario of a failing seed while it fails with the same kind, writes the smallest
// next to the results and names it in the failure record `f`.
void MinimiseInto(Json& f, const Scenario& scenario, const ExploreOptions& o, uint64_t seed) {
    const std::string kind = f["kind"].get<std::string>();
    const auto stillFails = [&](const std::string& text) {
        std::vector<std::string> errors;
        const auto candidate = LoadScenario(text, errors);
        return candidate && FailureKind(Play(*candidate, o, seed)) == kind;
    };
    const Minimised m = Minimise(scenario.text, stillFails, o.minimiseBudget);
    const std::string path = (o.minimiseDir.empty() ? std::string(".") : o.minimiseDir) + "/minimised-" +
                             std::to_string(seed) + ".json";
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << m.text;
    file.close();
    if (!file) {
        f["minimised"] = nullptr;
        f["minimise_error"] = "cannot write " + path + ": " + std::strerror(errno != 0 ? errno : EIO);
        return;
    }
    std::vector<std::string> args{"nicsim", "run", path, "--seed", std::to_string(seed)};
    if (o.cpus) args.insert(args.end(), {"--cpus", std::to_string(*o.cpus)});
    if (!o.usbTiming.empty()) args.insert(args.end(), {"--usb-timing", o.usbTiming});
    if (!o.until.empty()) args.insert(args.end(), {"--until", o.until});
    f["minimised"] = Json{{"path", path},
                          {"events", m.events},
                          {"events_before", m.eventsBefore},
                          {"runs", m.runs},
                          {"replay", ShellCommand(args)}};
}

// One seed's run judged from what it found: what a worker sends its parent, one line each.
Json JudgeSeed(SeedSource& source, const ExploreOptions& o, uint64_t seed, const RunOutcome& out,
               bool minimise) {
    uint64_t faults = 0;
    std::vector<std::pair<std::string, std::string>> unbalanced;  // adapter, account line
    for (auto& [name, c] : out.adapters.items()) {
        faults += c.value("faults_injected", uint64_t{0});
        for (auto& line : UnbalancedAccounts(c)) unbalanced.emplace_back(name, line);
    }
    Json result{{"seed", seed},
                {"events", out.events},
                {"violations", out.violations.size()},
                {"faults", faults},
                {"accounts", out.adapters.size() * AccountCount()},
                {"checks", out.checks},
                {"failure", nullptr}};
    if (out.violations.empty() && unbalanced.empty()) return result;
    Json f = FailureRecord(source, o, seed);
    f["violations"] = out.violations.size();
    if (!out.violations.empty()) {
        // The first thing that went wrong; the replay shows the rest.
        const auto& v = out.violations.front();
        f["kind"] = v.check;
        f["detail"] = v.detail;
        f["adapter"] = v.adapter.empty() ? Json() : Json(v.adapter);
        f["t_us"] = v.t_us;
    } else {
        // The accounts are read at the end of the run.
        f["kind"] = "accounts";
        f["detail"] = unbalanced.front().second;
        f["adapter"] = unbalanced.front().first;
        f["t_us"] = out.virtualUs;
    }
    if (minimise && !source.ScenarioFor(seed).text.empty()) MinimiseInto(f, source.ScenarioFor(seed), o, seed);
    result["failure"] = std::move(f);
    return result;
}

bool WriteAll(int fd, const void* data, size_t size);

// One seed's run, judged. When the driver crashes the world, the worker sends the seed's record
// from the crash (every violation caught until then, the crash last) and ends: its parent starts
// another.
Json RunSeed(SeedSource& source, const ExploreOptions& o, uint64_t seed, int results) {
    RunOptions run;
    run.seed = seed;
    run.untilSeconds = o.untilSeconds;
    run.cpus = o.cpus;
    run.fullSpeedUsb = o.usbTiming == "full-speed";
    run.image = o.image;
    run.callsOnly = o.callsOnly;
    run.onCrash = [&](const RunOutcome& out) {
        Json r = JudgeSeed(source, o, seed, out, false);
        r["worker_ended"] = true;
        const std::string line = r.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
        WriteAll(results, line.data(), line.size());
        _exit(0);
    };
    return JudgeSeed(source, o, seed, PlayScenario(source.ScenarioFor(seed), run), o.minimise);
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A worker: reads seeds (8 bytes each) until its parent closes the pipe, answers each with a line.
[[noreturn]] void Work(SeedSource& source, const ExploreOptions& o, int seeds, int results) {
    uint64_t seed;
    for (;;) {
        size_t got = 0;
        while (got < sizeof seed) {
            const ssize_t n = read(seeds, reinterpret_cast<char*>(&seed) + got, sizeof seed - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) _exit(0);
            got += static_cast<size_t>(n);
        }
        const std::string line =
            RunSeed(source, o, seed, results).dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
        if (!WriteAll(results, line.data(), line.size())) _exit(3);
    }
}

struct Worker {
    pid_t pid = -1;
    int seeds = -1;    // parent's end: seeds to run
    int results = -1;  // parent's end: a line per seed run
    std::optional<uint64_t> running;
    std::string buffered;  // a line not yet whole
    bool respawn = false;  // it ended after a crash it reported: start another when it has gone
};

std::string SignalText(int status) {
    if (WIFSIGNALED(status)) {
        const char* name = sigabbrev_np(WTERMSIG(status));
        return std::string("killed by SIG") + (name ? name : std::to_string(WTERMSIG(status)));
    }
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "stopped";
}

double CpuSeconds() {
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage u{};
        getrusage(who, &u);
        total += u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
    }
    return total;
}

std::string ShardText(unsigned k, unsigned n) { return std::to_string(k) + "/" + std::to_string(n); }

// The JSON Lines output: standard output, or a file created before anything runs.
class Output {
public:
    bool Open(const std::string& path, std::string& error) {
        path_ = path;
        if (path.empty() || path == "-") return true;
        file_.open(path, std::ios::binary | std::ios::trunc);
        if (!file_) error = "cannot write " + path + ": " + std::strerror(errno);
        return static_cast<bool>(file_);
    }
    bool Write(const std::vector<Json>& records, std::string& error) {
        std::string text;
        for (Json r : records) {
            for (const char* seed : {"seed", "first", "last"})
                if (r.contains(seed) && r[seed].is_number_unsigned()) r[seed] = SeedJson(r[seed].get<uint64_t>());
            text += r.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
        }
        if (path_.empty() || path_ == "-") {
            std::fwrite(text.data(), 1, text.size(), stdout);
            error = StandardOutputError();
            if (error.empty()) return true;
            StandardOutputErrorTold();  // the caller says it
            return false;
        }
        file_ << text;
        file_.close();
        if (file_) return true;
        error = "writing " + path_ + " failed: " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }

private:
    std::string path_;
    std::ofstream file_;
};

// A line a person reads on standard error, after the records are written.
void PrintSummary(const Json& s) {
    std::string kinds;
    for (auto& [k, n] : s["failures_by_kind"].items())
        kinds += (kinds.empty() ? " (" : ", ") + k + " " + std::to_string(n.get<uint64_t>());
    if (!kinds.empty()) kinds += ")";
    const double wall = s.value("wall_s", 0.0);
    const uint64_t seeds = s.value("seeds", uint64_t{0});
    std::fprintf(stderr, "explore: %llu seed%s of %llu..%llu%s run, %llu failed%s; %llu events, %llu checks, %.1f s, "
                         "%.1f seeds/s%s\n",
                 static_cast<unsigned long long>(seeds), seeds == 1 ? "" : "s",
                 static_cast<unsigned long long>(s["first"].get<uint64_t>()),
                 static_cast<unsigned long long>(s["last"].get<uint64_t>()),
                 s["shard"].is_null() ? "" : (" (shard " + s["shard"].get<std::string>() + ")").c_str(),
                 static_cast<unsigned long long>(s["failures"].get<uint64_t>()), kinds.c_str(),
                 static_cast<unsigned long long>(s["events"].get<uint64_t>()),
                 static_cast<unsigned long long>(s.value("checks", uint64_t{0})), wall,
                 wall > 0 ? seeds / wall : 0.0,
                 s.value("stopped_by_time_limit", false) ? "; stopped by the time limit" : "");
}

// The exit status of a sweep's records: a failing seed first, then a sweep that stopped short.
int SweepStatus(const Json& summary) {
    if (summary["failures"].get<uint64_t>() > 0) return kExploreFailed;
    return summary["complete"].get<bool>() ? kExplorePassed : kExploreIncomplete;
}

}  // namespace

int Explore(SeedSource& source, const ExploreOptions& o) {
    const auto wallStart = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    };
    Output output;
    ReportFile report(o.junitPath);
    std::string error;
    if (!output.Open(o.outPath, error) || !report.Open(error)) {
        std::cerr << "nicsim: " << error << "\n";
        return kExploreError;
    }
    // Plain variables, not a structured binding: the lambdas below capture them.
    const std::pair<uint64_t, uint64_t> slice = ShardRange(o.first, o.last, o.shard, o.shards);
    const uint64_t from = slice.first, to = slice.second;
    const uint64_t total = from > to ? 0 : to - from + 1;  // 0 also for all 2^64 seeds: shown as "?"
    uint64_t next = from;
    uint64_t handedOut = 0;  // seeds given to a worker; each comes back as a result or a crash
    bool exhausted = from > to;
    bool timeUp = false;

    signal(SIGPIPE, SIG_IGN);  // a worker that died is seen on its result pipe
    std::vector<Worker> workers(std::max(1u, o.jobs));
    std::vector<Json> failures;
    uint64_t done = 0, events = 0, violations = 0, faults = 0, accounts = 0, checks = 0;
    std::map<std::string, uint64_t> byKind;

    const auto spawn = [&](Worker& w) -> bool {
        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0) return false;
        if (pipe(fromChild) != 0) {
            close(toChild[0]);
            close(toChild[1]);
            return false;
        }
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid < 0) {
            for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);
            return false;
        }
        if (pid == 0) {
            // Another worker's pipes held open here would hide its end from the parent.
            for (const Worker& other : workers)
                for (int fd : {other.seeds, other.results})
                    if (fd >= 0) close(fd);
            close(toChild[1]);
            close(fromChild[0]);
            Work(source, o, toChild[0], fromChild[1]);
        }
        close(toChild[0]);
        close(fromChild[1]);
        w = Worker{};
        w.pid = pid;
        w.seeds = toChild[1];
        w.results = fromChild[0];
        return true;
    };
    // Gives `w` its next seed, or closes its pipe when there is none (it then exits).
    const auto feed = [&](Worker& w) {
        if (w.seeds < 0) return;
        if (!timeUp && o.timeLimitSeconds > 0 && elapsed() >= o.timeLimitSeconds) timeUp = true;
        if (exhausted || timeUp) {
            close(w.seeds);
            w.seeds = -1;
            return;
        }
        const uint64_t seed = next;
        if (next == to) exhausted = true;
        else ++next;
        w.running = seed;
        ++handedOut;
        if (!WriteAll(w.seeds, &seed, sizeof seed)) {
            // Seen as the worker's death on its result pipe, with this seed still running.
            close(w.seeds);
            w.seeds = -1;
        }
    };
    const auto record = [&](const Json& r) {
        ++done;
        events += r["events"].get<uint64_t>();
        violations += r["violations"].get<uint64_t>();
        faults += r["faults"].get<uint64_t>();
        accounts += r["accounts"].get<uint64_t>();
        checks += r.value("checks", uint64_t{0});
        if (!r["failure"].is_null()) {
            failures.push_back(r["failure"]);
            ++byKind[r["failure"]["kind"].get<std::string>()];
        }
    };

    for (Worker& w : workers) {
        if (exhausted) break;
        if (!spawn(w)) {
            std::cerr << "nicsim: cannot start a worker process: " << std::strerror(errno) << "\n";
            if (&w == &workers.front()) return kExploreError;
            break;
        }
        feed(w);
    }

    const bool progress = isatty(STDERR_FILENO);
    auto lastShown = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Worker*> of;
        for (Worker& w : workers)
            if (w.results >= 0) {
                fds.push_back(pollfd{w.results, POLLIN, 0});
                of.push_back(&w);
            }
        if (fds.empty()) break;
        const int ready = poll(fds.data(), fds.size(), 200);
        if (ready < 0 && errno != EINTR) {
            std::cerr << "nicsim: poll: " << std::strerror(errno) << "\n";
            return kExploreError;
        }
        for (size_t i = 0; i < fds.size() && ready > 0; ++i) {
            if (fds[i].revents == 0) continue;
            Worker& w = *of[i];
            char buf[65536];
            const ssize_t n = read(w.results, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) {
                w.buffered.append(buf, static_cast<size_t>(n));
                size_t eol;
                while ((eol = w.buffered.find('\n')) != std::string::npos) {
                    const Json r = Json::parse(w.buffered.substr(0, eol));
                    record(r);
                    w.buffered.erase(0, eol + 1);
                    w.running.reset();
                    if (r.value("worker_ended", false)) {
                        // Its run crashed the worker, which sent the seed's record and ends:
                        // another takes its place once it has gone.
                        w.respawn = true;
                        if (w.seeds >= 0) close(w.seeds);
                        w.seeds = -1;
                    } else {
                        feed(w);
                    }
                }
                continue;
            }
            // The worker has gone: after its last seed, or in the middle of one.
            close(w.results);
            w.results = -1;
            if (w.seeds >= 0) close(w.seeds);
            w.seeds = -1;
            int status = 0;
            while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
            }
            if (w.running) {
                // The run took its process down: a failure of that seed like any other.
                Json f = FailureRecord(source, o, *w.running);
                f["kind"] = "crash";
                f["detail"] = "the run ended its process: " + SignalText(status);
                record(Json{{"seed", *w.running}, {"events", 0}, {"violations", 0}, {"faults", 0},
                            {"accounts", 0}, {"failure", f}});
                if (!exhausted && !timeUp && spawn(w)) feed(w);
            } else if (w.respawn && !exhausted && !timeUp && spawn(w)) {
                feed(w);
            }
        }
        if (progress && std::chrono::steady_clock::now() - lastShown > std::chrono::milliseconds(250)) {
            lastShown = std::chrono::steady_clock::now();
            const double t = elapsed();
            const double rate = t > 0 ? done / t : 0;
            std::string left = "?";
            if (total > 0 && rate > 0) {
                double s = (total - done) / rate;
                if (o.timeLimitSeconds > 0) s = std::min(s, std::max(0.0, o.timeLimitSeconds - t));
                char text[32];
                std::snprintf(text, sizeof text, "%.0f s", s);
                left = text;
            }
            std::fprintf(stderr, "\r[explore] %llu/%s seeds, %zu failed, %.1f seeds/s, %s left   ",
                         static_cast<unsigned long long>(done),
                         total > 0 ? std::to_string(total).c_str() : "?", failures.size(), rate, left.c_str());
        }
    }
    if (progress) std::fprintf(stderr, "\r%78s\r", "");

    std::sort(failures.begin(), failures.end(),
              [](const Json& a, const Json& b) { return a["seed"].get<uint64_t>() < b["seed"].get<uint64_t>(); });
    const Json identity = source.Identity(o.first);
    // Every seed of the slice handed out and answered; a shard with no seed has nothing left to run.
    const bool complete = exhausted && done == handedOut;
    Json summary{{"record", "summary"},
                 {"scenario", identity["scenario"]},
                 {"source", identity["source"]},
                 {"sha256", identity["sha256"]},
                 {"first", o.first},
                 {"last", o.last},
                 {"shard", o.shards ? Json(ShardText(o.shard, o.shards)) : Json()},
                 {"seeds", done},
                 {"complete", complete},
                 {"failures", failures.size()},
                 {"failures_by_kind", Json(byKind)},
                 {"violations", violations},
                 {"events", events},
                 {"faults", faults},
                 {"accounts_checked", accounts},
                 // Everything verified: the verifier's checks in every run, and each account.
                 {"checks", checks + accounts},
                 {"cpus", o.cpus ? Json(*o.cpus) : Json()},
                 {"usb_timing", o.usbTiming.empty() ? "frame" : o.usbTiming},
                 {"until_s", o.untilSeconds ? Json(*o.untilSeconds) : Json()},
                 {"time_limit_s", o.timeLimitSeconds > 0 ? Json(o.timeLimitSeconds) : Json()},
                 {"stopped_by_time_limit", timeUp && !complete},
                 {"jobs", workers.size()},
                 {"wall_s", elapsed()},
                 {"cpu_s", CpuSeconds()}};
    const std::string junit = SweepJUnit(failures, summary);
    std::vector<Json> records = std::move(failures);
    records.push_back(summary);
    if (!output.Write(records, error) || !report.Write(junit, error)) {
        std::cerr << "nicsim: " << error << "\n";
        return kExploreError;
    }
    PrintSummary(summary);
    return SweepStatus(summary);
}

int MergeResults(const std::vector<std::string>& files, const std::string& outPath, const std::string& junitPath) {
    ReportFile report(junitPath);
    std::string reportError;
    if (!report.Open(reportError)) {
        std::cerr << "nicsim: " << reportError << "\n";
        return kExploreError;
    }
    std::vector<Json> failures, summaries;
    for (const std::string& path : files) {
        std::string text, error;
        bool exists = true;
        if (!ReadInputFile(path, text, error, exists)) {
            std::cerr << "nicsim: " << (exists ? error : "cannot read " + path + ": no such file") << "\n";
            return kExploreError;
        }
        size_t line = 0, summariesHere = 0;
        for (size_t at = 0; at < text.size();) {
            size_t eol = text.find('\n', at);
            if (eol == std::string::npos) eol = text.size();
            const std::string_view l(text.data() + at, eol - at);
            at = eol + 1;
            ++line;
            if (l.empty()) continue;
            Json r = Json::parse(l, nullptr, false);
            const std::string kind = r.is_object() ? r.value("record", "") : "";
            // Seeds come back as numbers, whichever form the file holds them in (seed_json.h).
            for (const char* seed : {"seed", "first", "last"})
                if (r.is_object() && r.contains(seed))
                    if (const auto n = SeedFromJson(r[seed])) r[seed] = *n;
            if (kind == "failure" && r.contains("seed") && r["seed"].is_number_unsigned()) {
                failures.push_back(r);
            } else if (kind == "summary" && r.contains("shard") && r.contains("first") && r.contains("last")) {
                summaries.push_back(r);
                ++summariesHere;
            } else {
                std::cerr << "nicsim: " << path << ":" << line << ": not a record of `nicsim explore`\n";
                return kExploreError;
            }
        }
        if (summariesHere != 1) {
            std::cerr << "nicsim: " << path << ": " << (summariesHere == 0 ? "no summary record" : "more than one summary record")
                      << " (an explore that did not finish, or files joined together?)\n";
            return kExploreError;
        }
    }
    // Shards of one sweep: the same range, scenario and options, each shard once.
    const Json& first = summaries.front();
    std::set<unsigned> shards;
    unsigned of = 0;
    for (size_t i = 0; i < summaries.size(); ++i) {
        const Json& s = summaries[i];
        for (const char* field : kSweepFields)
            if (s.value(field, Json()) != first.value(field, Json())) {
                std::cerr << "nicsim: " << files[i] << " is from another sweep than " << files.front() << ": its "
                          << field << " is " << s.value(field, Json()).dump() << ", not "
                          << first.value(field, Json()).dump() << "\n";
                return kExploreError;
            }
        const auto shard = s["shard"].is_string() ? ParseShard(s["shard"].get<std::string>()) : std::nullopt;
        if (!shard || (of != 0 && shard->second != of) || !shards.insert(shard->first).second) {
            if (summaries.size() == 1 && s["shard"].is_null()) break;  // one whole sweep: itself
            std::cerr << "nicsim: " << files[i] << ": shard " << s["shard"].dump()
                      << (shard && shards.count(shard->first) ? " appears twice" : " does not fit the other files")
                      << "\n";
            return kExploreError;
        }
        of = shard->second;
    }
    std::sort(failures.begin(), failures.end(),
              [](const Json& a, const Json& b) { return a["seed"].get<uint64_t>() < b["seed"].get<uint64_t>(); });
    for (size_t i = 1; i < failures.size(); ++i)
        if (failures[i]["seed"] == failures[i - 1]["seed"]) {
            std::cerr << "nicsim: seed " << failures[i]["seed"].get<uint64_t>() << " failed in two files\n";
            return kExploreError;
        }

    Json m = first;
    uint64_t seeds = 0, failed = 0, jobs = 0;
    double wall = 0, cpu = 0;
    bool complete = true, stopped = false;
    std::map<std::string, uint64_t> byKind;
    std::map<std::string, uint64_t> sums{{"violations", 0}, {"events", 0}, {"faults", 0}, {"accounts_checked", 0},
                                         {"checks", 0}};
    for (const Json& s : summaries) {
        seeds += s.value("seeds", uint64_t{0});
        failed += s.value("failures", uint64_t{0});
        jobs += s.value("jobs", uint64_t{0});
        wall = std::max(wall, s.value("wall_s", 0.0));
        cpu += s.value("cpu_s", 0.0);
        complete = complete && s.value("complete", false);
        stopped = stopped || s.value("stopped_by_time_limit", false);
        const Json kinds = s.value("failures_by_kind", Json::object());
        for (auto& [k, n] : kinds.items()) byKind[k] += n.get<uint64_t>();
        for (auto& [field, sum] : sums) sum += s.value(field, uint64_t{0});
    }
    std::string missing;
    for (unsigned k = 1; of != 0 && k <= of; ++k)
        if (!shards.count(k)) missing += (missing.empty() ? "" : ", ") + ShardText(k, of);
    if (!missing.empty()) complete = false;
    if (failed != failures.size()) {
        std::cerr << "nicsim: the summaries count " << failed << " failures, the files hold " << failures.size()
                  << " failure records\n";
        return kExploreError;
    }
    std::string present;
    for (unsigned k : shards) present += (present.empty() ? "" : ",") + std::to_string(k);
    m["shard"] = missing.empty() ? Json() : Json(present + "/" + std::to_string(of));
    m["seeds"] = seeds;
    m["complete"] = complete;
    m["failures"] = failed;
    m["failures_by_kind"] = Json(byKind);
    for (auto& [field, sum] : sums) m[field] = sum;
    m["stopped_by_time_limit"] = stopped;
    m["jobs"] = jobs;
    m["wall_s"] = wall;
    m["cpu_s"] = cpu;
    Output output;
    std::string error;
    const std::string junit = SweepJUnit(failures, m);
    std::vector<Json> records = std::move(failures);
    records.push_back(m);
    if (!output.Open(outPath, error) || !output.Write(records, error) || !report.Write(junit, error)) {
        std::cerr << "nicsim: " << error << "\n";
        return kExploreError;
    }
    PrintSummary(m);
    // The shards given are merged and written all the same, but they are not the sweep: that is
    // an error about the input, whatever their seeds found, so a pipeline that merges stops here.
    if (!missing.empty()) {
        std::cerr << "nicsim: not every shard is here; missing " << missing
                  << " (the records above are those of the shards given)\n";
        return kExploreError;
    }
    return SweepStatus(m);
}

}  // namespace nicsim
