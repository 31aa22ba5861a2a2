#include "tools/nicsim/report/report_command.h"

#include <string>

#include "tools/nicsim/report/report.h"

namespace nicsim {
namespace {

class ReportCommand : public Command {
public:
    explicit ReportCommand(CLI::App& app) {
        cmd_ = app.add_subcommand(
            "report", "Draw a trace of `nicsim run` as one self-contained HTML page: every lane on one "
                      "time axis, zoom and hover");
        cmd_->add_option("trace", trace_, "Trace file (JSON Lines) written by `nicsim run --trace`")->required();
        cmd_->add_option("-o,--output", output_, "The HTML page to write")->required();
    }

    bool Chosen() const override { return cmd_->parsed(); }
    int Execute(int, char**) override { return WriteReport(trace_, output_); }

private:
    CLI::App* cmd_;
    std::string trace_, output_;
};

}  // namespace

std::unique_ptr<Command> MakeReportCommand(CLI::App& app) { return std::make_unique<ReportCommand>(app); }

}  // namespace nicsim
