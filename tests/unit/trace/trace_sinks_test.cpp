// Which sinks a trace line reaches: a sink that names kinds receives only those, and a kind no
// sink asks for reads as disabled, so that emitters can skip building the line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/trace/trace.h"

namespace {

using host::trace::Json;
using host::trace::Trace;

TEST(TraceSinks, ASinkThatNamesKindsReceivesOnlyThoseAndMiniportSendOnlyWhenNamed) {
    uint64_t now = 5;
    Trace trace([&] { return now; });
    EXPECT_FALSE(trace.Enabled("bulk"));
    trace.Emit("bulk", "A", Json{{"length", 1}});  // nobody listens: nothing happens

    std::vector<std::string> some, all;
    const size_t picky = trace.AddSink(
        [&](const Json& l) { some.push_back(l["ev"].get<std::string>()); }, {"miniport", "link"});
    EXPECT_TRUE(trace.Enabled("miniport"));
    EXPECT_TRUE(trace.Enabled("link"));
    EXPECT_FALSE(trace.Enabled("bulk"));
    EXPECT_FALSE(trace.Enabled(Trace::kMiniportSend));

    trace.Emit("bulk", "A", Json{{"length", 1}});
    trace.Emit("miniport", "A", Json{{"call", "MiniportSend"}}, Trace::kMiniportSend);
    trace.Emit("miniport", "A", Json{{"call", "MiniportHalt"}});
    EXPECT_EQ(some, (std::vector<std::string>{"miniport"}));

    const size_t everything =
        trace.AddSink([&](const Json& l) { all.push_back(l["ev"].get<std::string>()); });
    EXPECT_TRUE(trace.Enabled("bulk"));
    EXPECT_TRUE(trace.Enabled(Trace::kMiniportSend));
    trace.Emit("bulk", "A", Json{{"length", 2}});
    trace.Emit("miniport", "A", Json{{"call", "MiniportSend"}}, Trace::kMiniportSend);
    trace.Emit("link", "", Json{{"up", true}});
    EXPECT_EQ(all, (std::vector<std::string>{"bulk", "miniport", "link"}));
    EXPECT_EQ(some, (std::vector<std::string>{"miniport", "link"}));

    trace.RemoveSink(everything);
    EXPECT_FALSE(trace.Enabled("bulk"));
    trace.RemoveSink(picky);
    EXPECT_FALSE(trace.Enabled("miniport"));
    EXPECT_FALSE(trace.Enabled());
}

}  // namespace
