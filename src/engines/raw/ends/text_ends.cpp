// End rules of documents and text: PDF trailers, RTF groups, HTML and XML documents (SVG,
// XHTML), mail messages and mailboxes, PostScript, vCard, iCalendar, PEM and scripts. Text
// ends where the bytes stop being text; what the format's closing mark does not settle is
// a guess.

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

#include "engines/raw/ends/end_reader.h"

namespace velk::ends {
namespace {

// Where the text that begins at from stops: at NUL or a control character other than
// tab, line ends, form feed and escape. Bytes above 127 pass: legacy code pages (Latin-2,
// Shift_JIS) are text too.
uint64_t textRunEnd(EndReader& r, uint64_t from) {
  static const auto kText = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 256; ++c) t[size_t(c)] = c != 0x7F;
    for (int c : {0x0A, 0x0D, 0x09, 0x0C, 0x1B}) t[size_t(c)] = true;
    return t;
  }();
  uint64_t pos = from;
  while (pos < r.size()) {
    auto [p, n] = r.run(pos);
    if (!p) break;
    for (size_t i = 0; i < n; ++i)
      if (!kText[p[i]]) return pos + i;
    pos += n;
  }
  return pos;
}

// After the last line end before limit (the file's own last line), or limit when the text
// ends without one.
FormatEnd lastLineEnd(EndReader& r, uint64_t start, uint64_t limit) {
  uint64_t end = limit;
  for (uint64_t p = limit; p > start && limit - p < (1u << 20); --p) {
    const int c = r.byte(p - 1);
    if (c == '\n' || c == '\r') {
      end = p;
      break;
    }
  }
  if (end <= start) return damaged();
  FormatEnd out = endedUnproven(end);
  out.guessed = true;
  return out;
}

// The last occurrence of a closing mark inside the text, with its line end.
FormatEnd lastMark(EndReader& r, std::string_view mark, bool caseless = false) {
  const uint64_t run = textRunEnd(r, 0);
  uint64_t last = kNone;
  for (uint64_t pos = 0; pos < run;) {
    const uint64_t hit = r.findText(pos, mark, caseless, run);
    if (hit == kNone) break;
    last = hit;
    pos = hit + mark.size();
  }
  if (last == kNone) return lastLineEnd(r, 0, run);
  return endedUnproven(r.withLineEnd(last + mark.size()));
}

// The line ends after a closing mark: a document may end with blank lines.
uint64_t lineEnds(EndReader& r, uint64_t pos) {
  for (int i = 0; i < 8; ++i) {
    const uint64_t next = r.withLineEnd(pos);
    if (next == pos) break;
    pos = next;
  }
  return pos;
}

bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0x0C || c == 0; }

// "N G obj" or "xref" — what an incremental update or a linearized file's body opens with.
bool objectFollows(EndReader& r, uint64_t pos) {
  for (int i = 0; i < 64 && isSpace(r.byte(pos)); ++i) ++pos;
  if (r.textAt(pos, "xref")) return true;
  int digits = 0, numbers = 0;
  for (int i = 0; i < 32; ++i) {
    const int c = r.byte(pos++);
    if (c >= '0' && c <= '9') {
      ++digits;
      continue;
    }
    if (digits == 0) return false;
    digits = 0;
    ++numbers;
    if (c != ' ') return false;
    if (numbers == 2) return r.textAt(pos, "obj");
  }
  return false;
}

}  // namespace

// Each "%%EOF" that closes a "startxref" trailer; another body after it (an incremental
// update, the rest of a linearized file) goes on to the next one. The last trailer's
// cross-reference offset pointing at a table or stream proves the end.
FormatEnd pdfEnd(EndReader& r) {
  if (!r.textAt(0, "%PDF-")) return damaged();
  uint64_t pos = 0;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint64_t e = r.findText(pos, "%%EOF");
    if (e == kNone) return damaged();
    pos = e + 5;
    const uint64_t back = e > 64 ? e - 64 : 0;
    const uint64_t sx = r.findText(back, "startxref", false, e);
    if (sx == kNone) continue;  // "%%EOF" inside a stream's data
    const uint64_t end = r.withLineEnd(e + 5);
    if (objectFollows(r, end)) continue;
    uint64_t p = sx + 9, offset = 0;
    while (isSpace(r.byte(p)) && p < e) ++p;
    while (r.byte(p) >= '0' && r.byte(p) <= '9' && offset < (1ull << 40)) offset = offset * 10 + uint64_t(r.byte(p++) - '0');
    return offset < e && (r.textAt(offset, "xref") || objectFollows(r, offset)) ? verified(end) : endedUnproven(end);
  }
  return damaged();
}

// The group opened by the first brace, closed when the braces balance.
FormatEnd rtfEnd(EndReader& r) {
  if (!r.textAt(0, "{\\rtf")) return damaged();
  uint64_t depth = 0, pos = 0;
  while (pos < r.size()) {
    auto [p, n] = r.run(pos);
    if (!p) return damaged();
    size_t i = 0;
    for (; i < n; ++i) {
      const uint8_t c = p[i];
      if (c == '{') {
        ++depth;
      } else if (c == '}') {
        if (depth == 0) return damaged();
        if (--depth == 0) return verified(r.withLineEnd(pos + i + 1));
      } else if (c == '\\') {
        // An escaped character, or \binN followed by N raw bytes.
        const uint64_t at = pos + i + 1;
        if (r.textAt(at, "bin")) {
          uint64_t k = at + 3, count = 0;
          int d;
          while ((d = r.byte(k)) >= '0' && d <= '9' && count < (1ull << 40)) {
            count = count * 10 + uint64_t(d - '0');
            ++k;
          }
          if (r.byte(k) == ' ') ++k;
          pos = k + count;
        } else {
          pos = at + 1;
        }
        break;
      } else if (c == 0) {
        return damaged();
      }
    }
    if (i == n) pos += n;
  }
  return damaged();
}

// The first "</html" (any case) inside the text, to its ">" and line end.
FormatEnd htmlEnd(EndReader& r) {
  const uint64_t run = textRunEnd(r, 0);
  const uint64_t hit = r.findText(0, "</html", true, run);
  const uint64_t gt = hit == kNone ? kNone : r.findByte(hit + 6, '>', std::min(run, hit + 64));
  if (gt == kNone) return lastLineEnd(r, 0, run);
  return verified(r.withLineEnd(gt + 1));
}

// XML: past the prolog (declaration, comments, document type), the root element's name;
// the document ends where that element closes at depth 0. An SVG or XHTML root names the
// kind.
FormatEnd xmlEnd(EndReader& r) {
  const uint64_t run = textRunEnd(r, 0);
  uint64_t pos = r.textAt(0, "\xEF\xBB\xBF") ? 3 : 0;
  std::string root;
  for (int guard = 0; guard < 256 && root.empty(); ++guard) {
    const uint64_t lt = r.findByte(pos, '<', run);
    if (lt == kNone) return damaged();
    if (r.textAt(lt, "<?")) pos = r.findText(lt, "?>", false, run);
    else if (r.textAt(lt, "<!--")) pos = r.findText(lt, "-->", false, run);
    else if (r.textAt(lt, "<!")) {
      // A document type, with an internal subset in brackets.
      const uint64_t gt = r.findByte(lt, '>', run), br = r.findByte(lt, '[', run);
      pos = br != kNone && br < gt ? r.findText(br, "]", false, run) : gt;
    } else {
      for (uint64_t p = lt + 1; p < run && root.size() < 64; ++p) {
        const int c = r.byte(p);
        if (isSpace(c) || c == '>' || c == '/') break;
        root += char(c);
      }
      if (root.empty()) return damaged();
      pos = lt;
      break;
    }
    if (pos == kNone) return damaged();
  }
  if (root.empty()) return damaged();
  std::string lower = root;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  const std::string_view kind = lower == "svg" ? "svg" : lower == "html" ? "xhtml" : "xml";
  const std::string open = "<" + root, close = "</" + root;
  int64_t depth = 0;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint64_t lt = r.findByte(pos, '<', run);
    if (lt == kNone) break;
    if (r.textAt(lt, "<!--")) {
      pos = r.findText(lt, "-->", false, run);
    } else if (r.textAt(lt, "<![CDATA[")) {
      pos = r.findText(lt, "]]>", false, run);
    } else if (r.textAt(lt, close)) {
      const int c = r.byte(lt + close.size());
      pos = lt + close.size();
      if ((c == '>' || isSpace(c)) && --depth == 0) {
        const uint64_t gt = r.findByte(pos, '>', run);
        if (gt == kNone) break;
        return withExtension(verified(lineEnds(r, gt + 1)), kind);
      }
    } else if (r.textAt(lt, open)) {
      const int c = r.byte(lt + open.size());
      const uint64_t gt = r.findByte(lt, '>', run);
      if (gt == kNone) break;
      if ((c == '>' || c == '/' || isSpace(c)) && r.byte(gt - 1) != '/') ++depth;
      else if (depth == 0 && r.byte(gt - 1) == '/') return withExtension(verified(lineEnds(r, gt + 1)), kind);
      pos = gt + 1;
    } else {
      pos = lt + 1;
    }
    if (pos == kNone) break;
  }
  return withExtension(lastLineEnd(r, 0, run), kind);
}

// A mail message or a mailbox: text to its last line; a multipart message ends with its
// closing boundary.
FormatEnd mailEnd(EndReader& r) {
  const uint64_t run = textRunEnd(r, 0);
  uint64_t headerEnd = r.findText(0, "\n\n", false, run);
  const uint64_t crlf = r.findText(0, "\r\n\r\n", false, run);
  headerEnd = std::min(headerEnd, crlf);
  if (!r.textAt(0, "From ") && headerEnd != kNone) {
    const uint64_t b = r.findText(0, "boundary=", true, headerEnd);
    if (b != kNone) {
      uint64_t p = b + 9;
      const bool quoted = r.byte(p) == '"';
      if (quoted) ++p;
      std::string boundary = "--";
      for (int c = r.byte(p); c > ' ' && c != '"' && c != ';' && boundary.size() < 80; c = r.byte(++p))
        boundary += char(c);
      const uint64_t close = r.findText(headerEnd, boundary + "--", false, run);
      if (boundary.size() > 2 && close != kNone) return verified(r.withLineEnd(close + boundary.size() + 2));
    }
  }
  return lastLineEnd(r, 0, run);
}

FormatEnd textEnd(EndReader& r) { return lastLineEnd(r, 0, textRunEnd(r, 0)); }
FormatEnd postscriptEnd(EndReader& r) { return lastMark(r, "%%EOF"); }
FormatEnd vcardEnd(EndReader& r) { return lastMark(r, "END:VCARD", true); }
FormatEnd icalEnd(EndReader& r) { return lastMark(r, "END:VCALENDAR", true); }

// PEM: the last "-----END …-----" line.
FormatEnd pemEnd(EndReader& r) {
  const uint64_t run = textRunEnd(r, 0);
  uint64_t last = kNone;
  for (uint64_t pos = 0; pos < run;) {
    const uint64_t hit = r.findText(pos, "-----END ", false, run);
    if (hit == kNone) break;
    last = hit;
    pos = hit + 9;
  }
  if (last == kNone) return damaged();
  const uint64_t close = r.findText(last + 9, "-----", false, run);
  return close == kNone ? damaged() : verified(r.withLineEnd(close + 5));
}

}  // namespace velk::ends
