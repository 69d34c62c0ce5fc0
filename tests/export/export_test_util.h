// What exported messages must hold, as the item reader sees the items, and
// the strict parser that checks them (Python's email package).
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "content/item_reader.h"
#include "export/eml.h"

namespace velmorix::exporting::testing {

namespace fs = std::filesystem;

inline std::string Sha256(std::string_view bytes) {
  char* hex = g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string s(hex);
  g_free(hex);
  return s;
}

inline std::string Json(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The Internet address a recipient is written with: its SMTP address or
// address, else an address written as its name (without quotes).
inline std::string Email(const content::Address& a) {
  for (const std::string* s : {&a.smtpAddress, &a.address}) {
    if (s->find('@') != std::string::npos && s->find(' ') == std::string::npos) return *s;
  }
  std::string name = a.name;
  while (!name.empty() && (name.front() == '\'' || name.front() == '"' || name.front() == '<')) name.erase(0, 1);
  while (!name.empty() && (name.back() == '\'' || name.back() == '"' || name.back() == '>')) name.pop_back();
  if (name.find('@') != std::string::npos && name.find(' ') == std::string::npos) return name;
  return {};
}

// One message as JSON for check_messages.py.
inline std::string Expected(content::ItemReader& reader, const content::Item& item) {
  std::string j = "{\"subject\":" + Json(item.subject);
  j += ",\"from\":" + Json(SenderAddress(item));
  for (auto [name, type] : {std::pair{"to", content::RecipientType::To}, std::pair{"cc", content::RecipientType::Cc}}) {
    j += std::string(",\"") + name + "\":[";
    bool first = true;
    for (const auto& r : item.recipients) {
      if (r.type != type || Email(r).empty()) continue;
      j += (first ? "" : ",") + Json(Email(r));
      first = false;
    }
    j += "]";
  }
  const auto t = MessageTime(item);
  j += ",\"date\":" + (t ? std::to_string(content::UnixSeconds(*t)) : std::string("null"));
  j += ",\"text\":" + (item.bodies.plain.present() ? Json(item.bodies.plain.text) : std::string("null"));
  j += std::string(",\"html\":") + (item.bodies.html.present() ? "true" : "false");
  j += ",\"message_id\":" + Json(item.internetMessageId);
  j += ",\"headers\":" + Json(item.transportHeaders);
  j += ",\"attachments\":[";
  std::string messages;
  bool first = true;
  for (const auto& a : item.attachments) {
    if (!a.readable) continue;
    if (a.isEmbeddedMessage()) {
      content::ReadOptions options;
      options.properties = false;
      if (auto inner = reader.ReadEmbedded(a, options)) messages += (messages.empty() ? "" : ",") + Expected(reader, *inner);
      continue;
    }
    std::string bytes;
    reader.ReadAttachment(a, [&](ByteSpan b) {
      bytes.append(AsChars(b));
      return true;
    });
    j += (first ? "" : ",") + std::string("{\"size\":") + std::to_string(bytes.size()) + ",\"sha256\":" +
         Json(Sha256(bytes)) + "}";
    first = false;
  }
  if (!item.bodies.plain.present() && !item.bodies.html.present() && item.bodies.rtf.present()) {
    const std::string& rtf = item.bodies.rtf.text;
    j += (first ? "" : ",") + std::string("{\"size\":") + std::to_string(rtf.size()) + ",\"sha256\":" + Json(Sha256(rtf)) + "}";
  }
  j += "],\"messages\":[" + messages + "]}";
  return j;
}

struct CheckResult {
  int status = -1;
  std::string output;
};

// Runs check_messages.py over `files` against `expected` (JSON texts of
// Expected()). A clone without python3 cannot run it: the test skips.
inline CheckResult CheckMessages(const std::string& kind, const std::vector<std::string>& expected,
                                 const std::vector<std::string>& files, const std::string& workDir) {
  const std::string expectedPath = workDir + "/expected.json";
  {
    std::ofstream out(expectedPath, std::ios::binary);
    out << "[";
    for (size_t i = 0; i < expected.size(); ++i) out << (i ? "," : "") << expected[i];
    out << "]";
  }
  const std::string listPath = workDir + "/files.txt";
  std::string command = "python3 '" VELMORIX_CHECK_MESSAGES "' " + kind + " '" + expectedPath + "'";
  for (const auto& f : files) {
    std::string quoted = "'";
    for (char c : f) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += " " + quoted + "'";
  }
  command += " 2>&1";
  CheckResult r;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  const int status = ::pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

inline bool HavePython() { return std::system("python3 -c 'import email.policy' >/dev/null 2>&1") == 0; }

// Every regular file below `dir` with the extension `ext` (".eml").
inline std::vector<std::string> FilesWith(const std::string& dir, const std::string& ext) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file() && e.path().extension() == ext) out.push_back(e.path().string());
  }
  return out;
}

}  // namespace velmorix::exporting::testing
