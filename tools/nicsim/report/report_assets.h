// The report page's style sheet and script, built into nicsim from tools/nicsim/report/report.css and
// report.js (embed_report.cmake): the page carries them inline.
#pragma once

namespace nicsim {

const char* ReportStyle();
const char* ReportScript();

}  // namespace nicsim
