#include "app/Json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/Text.h"

namespace app {

std::string JsonQuote(std::string_view utf8) {
  std::string out = "\"";
  for (char ch : utf8) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

void JsonObject::Key(std::string_view key) {
  if (!body_.empty()) body_ += ',';
  body_ += JsonQuote(key);
  body_ += ':';
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view text) {
  Key(key);
  body_ += JsonQuote(text);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::int64_t number) {
  Key(key);
  body_ += std::to_string(number);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, double number, int decimals) {
  Key(key);
  if (!std::isfinite(number)) {
    body_ += "null";
    return *this;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, number);
  body_ += text;
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key) {
  Key(key);
  body_ += "null";
  return *this;
}

JsonObject& JsonObject::AddOrNull(std::string_view key, std::string_view text) {
  return text.empty() ? AddNull(key) : Add(key, text);
}

JsonObject& JsonObject::Add(std::string_view key, const JsonObject& object) {
  Key(key);
  body_ += object.Text();
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, const std::vector<std::string>& texts) {
  Key(key);
  body_ += '[';
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i) body_ += ',';
    body_ += JsonQuote(texts[i]);
  }
  body_ += ']';
  return *this;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json) {
  Key(key);
  body_ += json;
  return *this;
}

// ---- reading ----

const JsonValue::Object* JsonValue::AsObject() const {
  auto p = std::get_if<std::shared_ptr<Object>>(&value);
  return p ? p->get() : nullptr;
}

const JsonValue::Array* JsonValue::AsArray() const {
  auto p = std::get_if<std::shared_ptr<Array>>(&value);
  return p ? p->get() : nullptr;
}

const JsonValue* JsonValue::Member(std::string_view key) const {
  const Object* o = AsObject();
  if (!o) return nullptr;
  auto it = o->find(key);
  return it == o->end() ? nullptr : &it->second;
}

std::string JsonValue::Text(std::string_view key, const std::string& fallback) const {
  const JsonValue* m = Member(key);
  if (!m) return fallback;
  if (const std::string* s = m->AsText()) return *s;
  return fallback;
}

double JsonValue::Number(std::string_view key, double fallback) const {
  const JsonValue* m = Member(key);
  if (!m) return fallback;
  if (const double* d = std::get_if<double>(&m->value)) return *d;
  return fallback;
}

namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  bool Document(JsonValue& out) {
    Space();
    if (!Value(out, 0)) return false;
    Space();
    return i_ == s_.size();
  }

 private:
  static constexpr int kMaxDepth = 64;

  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool Literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }

  bool Value(JsonValue& out, int depth) {
    if (depth > kMaxDepth || i_ >= s_.size()) return false;
    char c = s_[i_];
    if (c == '{') return ObjectValue(out, depth);
    if (c == '[') return ArrayValue(out, depth);
    if (c == '"') {
      std::string text;
      if (!String(text)) return false;
      out.value = std::move(text);
      return true;
    }
    if (Literal("true")) {
      out.value = true;
      return true;
    }
    if (Literal("false")) {
      out.value = false;
      return true;
    }
    if (Literal("null")) {
      out.value = nullptr;
      return true;
    }
    return NumberValue(out);
  }

  bool NumberValue(JsonValue& out) {
    std::size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    std::size_t digits = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    if (i_ == digits) return false;
    if (s_[digits] == '0' && i_ - digits > 1) return false;  // no leading zeros
    if (i_ < s_.size() && s_[i_] == '.') {
      std::size_t frac = ++i_;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
      if (i_ == frac) return false;
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      std::size_t exp = i_;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
      if (i_ == exp) return false;
    }
    double d = 0;
    auto r = std::from_chars(s_.data() + start, s_.data() + i_, d);
    if (r.ec != std::errc() || r.ptr != s_.data() + i_) return false;
    out.value = d;
    return true;
  }

  bool Hex4(std::uint32_t& cp) {
    if (i_ + 4 > s_.size()) return false;
    cp = 0;
    for (int k = 0; k < 4; ++k) {
      char h = s_[i_++];
      cp <<= 4;
      if (h >= '0' && h <= '9') cp |= static_cast<std::uint32_t>(h - '0');
      else if (h >= 'a' && h <= 'f') cp |= static_cast<std::uint32_t>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') cp |= static_cast<std::uint32_t>(h - 'A' + 10);
      else return false;
    }
    return true;
  }

  bool String(std::string& out) {
    ++i_;  // the opening quote
    while (i_ < s_.size()) {
      char c = s_[i_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          std::uint32_t cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {
            std::uint32_t low = 0;
            if (!Literal("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
          }
          platform::AppendUtf8(out, static_cast<char32_t>(cp));
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  bool ObjectValue(JsonValue& out, int depth) {
    ++i_;
    auto object = std::make_shared<JsonValue::Object>();
    Space();
    if (i_ < s_.size() && s_[i_] == '}') {
      ++i_;
      out.value = object;
      return true;
    }
    for (;;) {
      Space();
      if (i_ >= s_.size() || s_[i_] != '"') return false;
      std::string key;
      if (!String(key)) return false;
      Space();
      if (i_ >= s_.size() || s_[i_] != ':') return false;
      ++i_;
      Space();
      JsonValue v;
      if (!Value(v, depth + 1)) return false;
      (*object)[key] = std::move(v);
      Space();
      if (i_ < s_.size() && s_[i_] == ',') {
        ++i_;
        continue;
      }
      if (i_ < s_.size() && s_[i_] == '}') {
        ++i_;
        out.value = object;
        return true;
      }
      return false;
    }
  }

  bool ArrayValue(JsonValue& out, int depth) {
    ++i_;
    auto array = std::make_shared<JsonValue::Array>();
    Space();
    if (i_ < s_.size() && s_[i_] == ']') {
      ++i_;
      out.value = array;
      return true;
    }
    for (;;) {
      Space();
      JsonValue v;
      if (!Value(v, depth + 1)) return false;
      array->push_back(std::move(v));
      Space();
      if (i_ < s_.size() && s_[i_] == ',') {
        ++i_;
        continue;
      }
      if (i_ < s_.size() && s_[i_] == ']') {
        ++i_;
        out.value = array;
        return true;
      }
      return false;
    }
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

}  // namespace

std::optional<JsonValue> ParseJson(std::string_view text) {
  JsonValue v;
  Reader r(text);
  if (!r.Document(v)) return std::nullopt;
  return v;
}

}  // namespace app
