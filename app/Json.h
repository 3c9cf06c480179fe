#pragma once
// JSON for the machine-readable output of the console program and for the launcher that
// reads it: one object per line, written with JsonObject and read back with ParseJson.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace app {

// The text as a JSON string literal, quotes included. Control characters are escaped; bytes
// of 0x80 and above are copied as they are (the caller passes UTF-8).
std::string JsonQuote(std::string_view utf8);

// Builds one object, members in the order added.
class JsonObject {
 public:
  JsonObject& Add(std::string_view key, std::string_view text);
  JsonObject& Add(std::string_view key, const char* text) { return Add(key, std::string_view(text)); }
  JsonObject& Add(std::string_view key, const std::string& text) { return Add(key, std::string_view(text)); }
  JsonObject& Add(std::string_view key, std::int64_t number);
  JsonObject& Add(std::string_view key, int number) { return Add(key, static_cast<std::int64_t>(number)); }
  JsonObject& Add(std::string_view key, double number, int decimals);
  JsonObject& Add(std::string_view key, bool value);
  JsonObject& AddNull(std::string_view key);
  // Text, or null when it is empty.
  JsonObject& AddOrNull(std::string_view key, std::string_view text);
  JsonObject& Add(std::string_view key, const JsonObject& object);
  JsonObject& Add(std::string_view key, const std::vector<std::string>& texts);
  // A value that is JSON text already.
  JsonObject& AddRaw(std::string_view key, std::string_view json);
  std::string Text() const { return "{" + body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_;
};

// A parsed value.
struct JsonValue {
  using Array = std::vector<JsonValue>;
  using Object = std::map<std::string, JsonValue, std::less<>>;
  std::variant<std::nullptr_t, bool, double, std::string, std::shared_ptr<Array>, std::shared_ptr<Object>> value;

  bool IsNull() const { return std::holds_alternative<std::nullptr_t>(value); }
  bool IsObject() const { return std::holds_alternative<std::shared_ptr<Object>>(value); }
  // The member's text, number or flag; the fallback when it is missing or of another kind.
  std::string Text(std::string_view key, const std::string& fallback = {}) const;
  double Number(std::string_view key, double fallback = 0.0) const;
  const JsonValue* Member(std::string_view key) const;
  const Object* AsObject() const;
  const Array* AsArray() const;
  const std::string* AsText() const { return std::get_if<std::string>(&value); }
};

// The whole text as one value (white space around it allowed); nothing when it is not JSON
// or nests deeper than 64 levels.
std::optional<JsonValue> ParseJson(std::string_view text);

}  // namespace app
