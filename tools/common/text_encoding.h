#pragma once
// The plug-in's texts as the tools pass them on. The plug-in hands its host 8-bit text in the
// system code page (its log, the names of list items, the A interfaces), whatever encoding its
// language file is stored in: it decodes that file itself and converts its translations to the
// system code page when it writes them. The tools write UTF-8 everywhere (JSON, CSV, the report,
// saved logs), so such text is converted once, where it enters a tool.

#include <cstdio>
#include <string>
#include <string_view>

namespace zol::tools {

// Text in the system code page as UTF-8 (on Windows the system's own converter; elsewhere the
// Windows-1252 table the portable build stands in with). ASCII comes back unchanged.
std::string PluginTextToUtf8(std::string_view text);

// UTF-8 text as it reaches the tools after the plug-in has written it: through the system code
// page and back, so a character the code page lacks is "?" here as it is in the plug-in's log.
std::string ThroughPluginCodePage(std::string_view utf8);

// Writes UTF-8 text to `stream`. On a Windows console the text goes out as UTF-16
// (WriteConsoleW), so any language shows whatever the console's code page; a file or a pipe
// gets the UTF-8 bytes as they are.
void WriteText(std::FILE* stream, std::string_view utf8);
// WriteText with a line end.
void WriteLine(std::FILE* stream, std::string_view utf8);

}  // namespace zol::tools
