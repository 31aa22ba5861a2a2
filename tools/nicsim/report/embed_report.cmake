# Writes a C++ source holding the report page's style sheet and script (tools/nicsim/report/report.css,
# report.js), so the page nicsim writes needs no file beside it and fetches nothing.
file(READ "${DIR}/report.css" css)
file(READ "${DIR}/report.js" js)
set(body "// Generated from tools/nicsim/report/report.css and report.js at build time.\n#include \"tools/nicsim/report/report_assets.h\"\n\nnamespace nicsim {\n\nconst char* ReportStyle() {\n    return R\"NICSIM(${css})NICSIM\";\n}\n\nconst char* ReportScript() {\n    return R\"NICSIM(${js})NICSIM\";\n}\n\n}  // namespace nicsim\n")
file(WRITE "${OUT}.tmp" "${body}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUT}.tmp" "${OUT}")
