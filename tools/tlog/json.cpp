#include "tlog/json.h"

#include <cstdio>

#include "ledger/utf8.h"

namespace ledger::tlog {
namespace {

// `unit` is a UTF-16 code unit (at most 0xFFFF).
void append_u_escape(std::string& out, std::uint32_t unit) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\u%04x", unit);
  out += buffer;
}

}  // namespace

std::string json_quote(std::string_view text) {
  std::string out = "\"";
  std::size_t at = 0;
  while (at < text.size()) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
      switch (byte) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          if (byte < 0x20 || byte == 0x7F) {
            append_u_escape(out, byte);
          } else {
            out += static_cast<char>(byte);
          }
      }
      ++at;
      continue;
    }
    std::uint32_t code_point = 0;
    const std::size_t length = decode_utf8(text, at, code_point);
    if (length == 0) {
      append_u_escape(out, 0xFFFD);
      ++at;
      continue;
    }
    if (code_point >= 0x10000) {
      code_point -= 0x10000;
      append_u_escape(out, 0xD800 + (code_point >> 10));
      append_u_escape(out, 0xDC00 + (code_point & 0x3FF));
    } else {
      append_u_escape(out, code_point);
    }
    at += length;
  }
  out += '"';
  return out;
}

std::string display(std::string_view text) {
  bool plain = !text.empty();
  for (char c : text) plain = plain && c > ' ' && c < 0x7F && c != '"';
  return plain ? std::string(text) : json_quote(text);
}

void JsonWriter::key(std::string_view name) {
  if (need_comma_) out_ += ',';
  need_comma_ = true;
  if (!name.empty()) {
    out_ += json_quote(name);
    out_ += ':';
  }
}

JsonWriter& JsonWriter::field(std::string_view name, std::string_view value) {
  key(name);
  out_ += json_quote(value);
  return *this;
}

JsonWriter& JsonWriter::field(std::string_view name, std::uint64_t value) {
  key(name);
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::field(std::string_view name, std::optional<std::uint64_t> value) {
  return value ? field(name, *value) : null_field(name);
}

JsonWriter& JsonWriter::null_field(std::string_view name) {
  key(name);
  out_ += "null";
  return *this;
}

JsonWriter& JsonWriter::begin_object(std::string_view name) {
  key(name);
  out_ += '{';
  need_comma_ = false;
  return *this;
}

JsonWriter& JsonWriter::end_object() {
  out_ += '}';
  need_comma_ = true;
  return *this;
}

JsonWriter& JsonWriter::begin_array(std::string_view name) {
  key(name);
  out_ += '[';
  need_comma_ = false;
  return *this;
}

JsonWriter& JsonWriter::end_array() {
  out_ += ']';
  need_comma_ = true;
  return *this;
}

std::string JsonWriter::finish() { return out_ + "}"; }

}  // namespace ledger::tlog
