#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "model/message.h"

// A message turned into the plain text of a desktop notice. The server's text is never
// markup there: controls go, tags go, the common character references are decoded. The
// scan reads only as far as the notice needs, and looks a few characters ahead for the end
// of a reference, so a body of megabytes costs no more than its first line.
namespace agent {

// One line of a plain text (the subject, the sender): nothing of it is taken as markup;
// C0 and C1 controls and the invisible direction marks go, line breaks and tabs become
// spaces, runs of blanks one space. At most `limit` characters, cut with "…". UTF-8.
std::string notice_line(std::wstring_view text, std::size_t limit);

// The first line with anything on it of the message's text (its to_html form: link markup
// keeps its text, block tags end the line), at most `limit` characters, cut with "…". UTF-8.
std::string notice_first_line(const Message& message, std::size_t limit);

// The lines of HTML text as a reader sees them: tags gone (block tags and line breaks end
// a line), references decoded, controls gone, runs of blanks one space, lines trimmed.
// Stops once `lines` lines are complete; an unclosed tag ends the text.
std::vector<std::wstring> plain_lines(std::wstring_view html, std::size_t lines = static_cast<std::size_t>(-1));

}  // namespace agent
