// Conversion between the session's 8-bit texts and Qt strings.
#pragma once

#include <QString>
#include <string>

namespace velmorix::ui {

// The session hands its texts over as UTF-8 (code-page texts of ANSI stores
// already converted). Bytes that are not valid UTF-8 are read as
// Windows-1252 rather than shown as replacement characters.
QString ToQString(const std::string& text);

// A path typed or chosen in the window, in the file system's encoding.
std::string PathToStd(const QString& path);

}  // namespace velmorix::ui
