#include "sim_config.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace sim {

const char kDefaultSimConfig[] =
    "adapter\n"
    "drive target=1\n";

namespace {

struct Line {
  std::string keyword;
  std::map<std::string, std::string> fields;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// keyword key=value key="quoted value" ... ; '#' outside quotes ends the line.
bool Tokenise(const std::string& text, Line* line, std::string* error) {
  size_t i = 0;
  auto skip_blanks = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
  };
  auto at_end = [&] { return i >= text.size() || text[i] == '#'; };
  skip_blanks();
  while (!at_end() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r') {
    line->keyword += text[i++];
  }
  for (;;) {
    skip_blanks();
    if (at_end()) return true;
    std::string key;
    while (i < text.size() && text[i] != '=' && text[i] != ' ' && text[i] != '\t') key += text[i++];
    if (i >= text.size() || text[i] != '=') {
      *error = "expected key=value at '" + key + "'";
      return false;
    }
    ++i;
    std::string value;
    if (i < text.size() && text[i] == '"') {
      ++i;
      for (;;) {
        if (i >= text.size()) {
          *error = "unterminated quote in " + key;
          return false;
        }
        char c = text[i++];
        if (c == '"') break;
        if (c == '\\' && i < text.size()) {
          char e = text[i++];
          if (e == 'x' && i + 1 < text.size() && HexDigit(text[i]) >= 0 &&
              HexDigit(text[i + 1]) >= 0) {
            c = static_cast<char>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1]));
            i += 2;
          } else {
            c = e;
          }
        }
        value += c;
      }
    } else {
      while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r' &&
             text[i] != '#') {
        value += text[i++];
      }
    }
    if (line->fields.count(key)) {
      *error = "field given twice: " + key;
      return false;
    }
    line->fields[key] = value;
  }
}

class Fields {
 public:
  Fields(const Line& line, std::string* error) : line_(line), error_(error) {}

  bool Number(const char* key, uint32_t max, uint32_t* out) {
    used_.insert(key);
    auto it = line_.fields.find(key);
    if (it == line_.fields.end()) return true;
    const std::string& v = it->second;
    errno = 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(v.c_str(), &end, 0);
    if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0 || n > max) {
      *error_ = std::string("bad number for ") + key + ": '" + v + "'";
      return false;
    }
    *out = static_cast<uint32_t>(n);
    return true;
  }
  template <class T>
  bool Byte(const char* key, T* out) {
    uint32_t v = *out;
    if (!Number(key, 0xFF, &v)) return false;
    *out = static_cast<T>(v);
    return true;
  }
  bool Text(const char* key, std::string* out) {
    used_.insert(key);
    auto it = line_.fields.find(key);
    if (it != line_.fields.end()) *out = it->second;
    return true;
  }
  bool Flag(const char* key, bool* out) {
    used_.insert(key);
    auto it = line_.fields.find(key);
    if (it == line_.fields.end()) return true;
    if (it->second == "yes" || it->second == "1") {
      *out = true;
    } else if (it->second == "no" || it->second == "0") {
      *out = false;
    } else {
      *error_ = std::string("expected yes or no for ") + key;
      return false;
    }
    return true;
  }
  bool Has(const char* key) const { return line_.fields.count(key) != 0; }
  // Every field must have been asked for.
  bool NoneLeft() {
    for (const auto& f : line_.fields) {
      if (!used_.count(f.first)) {
        *error_ = "unknown field '" + f.first + "' for " + line_.keyword;
        return false;
      }
    }
    return true;
  }

 private:
  const Line& line_;
  std::string* error_;
  std::set<std::string> used_;
};

bool ParseSense(const std::string& text, Sense* out) {
  // KK/AA/QQ in hex
  unsigned k, a, q;
  char tail;
  std::istringstream in(text);
  in >> std::hex;
  char s1, s2;
  if (!(in >> k >> s1 >> a >> s2 >> q) || s1 != '/' || s2 != '/' || (in >> tail) || k > 0xFF ||
      a > 0xFF || q > 0xFF) {
    return false;
  }
  *out = Sense{static_cast<uint8_t>(k), static_cast<uint8_t>(a), static_cast<uint8_t>(q)};
  return true;
}

bool ParseTray(const std::string& text, Tray* out) {
  if (text == "closed") {
    *out = Tray::kClosedEmpty;
  } else if (text == "open") {
    *out = Tray::kOpen;
  } else if (text == "loaded") {
    *out = Tray::kLoaded;
  } else if (text == "becoming") {
    *out = Tray::kBecomingReady;
  } else {
    return false;
  }
  return true;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* out) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == ',') continue;
    if (HexDigit(c) < 0) return false;
    digits += c;
  }
  if (digits.empty() || digits.size() % 2) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    out->push_back(static_cast<uint8_t>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1])));
  }
  return true;
}

}  // namespace

bool LoadSimConfig(const std::string& text, const std::function<uint64_t()>& now_ms,
                   SimSetup& setup, std::string* error) {
  std::istringstream in(text);
  std::string raw;
  int number = 0;
  int adapter = -1;
  KestranDrive* drive = nullptr;
  std::string problem;
  auto fail = [&](const std::string& what) {
    *error = "line " + std::to_string(number) + ": " + what;
    return false;
  };

  while (std::getline(in, raw)) {
    ++number;
    Line line;
    if (!Tokenise(raw, &line, &problem)) return fail(problem);
    if (line.keyword.empty()) continue;
    Fields f(line, &problem);
    const std::string& kw = line.keyword;

    if (kw == "support") {
      uint32_t status = setup.bus.support_status;
      uint32_t count = 0;
      if (!f.Number("status", 0xFF, &status) || !f.Number("count", 0xFF, &count)) {
        return fail(problem);
      }
      setup.bus.support_status = static_cast<uint8_t>(status);
      if (f.Has("count")) setup.bus.support_count_override = static_cast<int>(count);
      uint32_t ha_count = 0;
      if (!f.Number("ha_count", 0xFF, &ha_count)) return fail(problem);
      if (f.Has("ha_count")) setup.bus.ha_count_override = static_cast<int>(ha_count);
    } else if (kw == "adapter") {
      uint32_t align = 0, targets = 8, id = 7, status = kSsComp;
      if (!f.Number("align", 0xFFFF, &align) || !f.Number("targets", 0xFF, &targets) ||
          !f.Number("id", 0xFF, &id) || !f.Number("inquiry", 0xFF, &status)) {
        return fail(problem);
      }
      adapter = setup.bus.AddAdapter(static_cast<uint16_t>(align), static_cast<uint8_t>(targets));
      setup.bus.adapter(static_cast<uint8_t>(adapter)).scsi_id = static_cast<uint8_t>(id);
      setup.bus.adapter(static_cast<uint8_t>(adapter)).inquiry_status =
          static_cast<uint8_t>(status);
      drive = nullptr;
    } else if (kw == "drive" || kw == "device") {
      if (adapter < 0) return fail(kw + " before any adapter");
      uint32_t target = 0;
      if (!f.Has("target")) return fail(kw + " needs target=");
      if (!f.Number("target", 0xFF, &target)) return fail(problem);
      uint32_t devtype_status = kSsComp;
      if (!f.Number("devtype_status", 0xFF, &devtype_status)) return fail(problem);
      const auto a = static_cast<uint8_t>(adapter);
      const auto t = static_cast<uint8_t>(target);
      if (setup.bus.adapter(a).targets.count(t)) return fail("target used twice");
      if (kw == "device") {
        uint32_t type = 0;
        if (!f.Number("type", 0x1F, &type)) return fail(problem);
        setup.bus.AttachDevice(a, t, static_cast<uint8_t>(type));
        drive = nullptr;
      } else {
        DriveConfig c;
        std::string tray;
        if (!f.Text("vendor", &c.vendor) || !f.Text("product", &c.product) ||
            !f.Text("revision", &c.revision) || !f.Byte("byte0", &c.byte0) ||
            !f.Byte("byte3", &c.byte3) || !f.Byte("board", &c.board_version) ||
            !f.Text("tray", &tray) || !f.Number("settle_ms", 0xFFFFFFFF, &c.settle_ms) ||
            !f.Number("programming_ms", 0xFFFFFFFF, &c.programming_ms) ||
            !f.Number("spinup_ms", 0xFFFFFFFF, &c.spin_up_ms) ||
            !f.Number("async_ms", 0xFFFFFFFF, &c.async_delay_ms) ||
            !f.Flag("external", &c.external_inquiry)) {
          return fail(problem);
        }
        if (!tray.empty() && !ParseTray(tray, &c.tray)) {
          return fail("tray must be closed, open, loaded or becoming");
        }
        setup.drives.push_back(std::make_unique<KestranDrive>(now_ms, c));
        drive = setup.drives.back().get();
        setup.labels.push_back(std::to_string(adapter) + ":" + std::to_string(target));
        setup.bus.AttachDrive(a, t, drive);
      }
      setup.bus.adapter(a).targets[t].device_type_status = static_cast<uint8_t>(devtype_status);
    } else if (kw == "refuse" || kw == "fail" || kw == "flaky" || kw == "memory" ||
               kw == "attention") {
      if (drive == nullptr) return fail(kw + " needs a drive line before it");
      if (kw == "refuse") {
        uint32_t index = 0, status = kCheckCondition, nth = 0;
        std::string sense_text, cdb_text;
        std::vector<uint8_t> cdb;
        Sense s;
        f.Text("sense", &sense_text);
        f.Text("cdb", &cdb_text);
        if (!f.Number("write", 0xFFFFFFFF, &index) || !f.Number("command", 0xFFFFFFFF, &index) ||
            !f.Number("status", 0xFF, &status) || !f.Number("nth", 0xFFFFFFFF, &nth)) {
          return fail(problem);
        }
        // Without sense= the refusal carries no sense data (a status such as BUSY).
        if (f.Has("sense") && !ParseSense(sense_text, &s)) {
          return fail("sense must be KK/AA/QQ (hex)");
        }
        if (!f.Has("sense") && status == kCheckCondition)
          return fail("CHECK CONDITION needs sense=");
        if (f.Has("write") + f.Has("command") + f.Has("cdb") != 1) {
          return fail("refuse needs one of write=, command=, cdb=");
        }
        if (f.Has("nth") && !f.Has("cdb")) return fail("nth= goes with cdb=");
        if (f.Has("cdb")) {
          if (!ParseHexBytes(cdb_text, &cdb) || cdb.size() > 16) {
            return fail("cdb must be 1 to 16 hex bytes");
          }
          drive->RefuseMatching(cdb, nth, s, static_cast<uint8_t>(status));
        } else if (f.Has("write")) {
          drive->RefuseWrite(index, s, static_cast<uint8_t>(status));
        } else {
          drive->RefuseCommand(index, s, static_cast<uint8_t>(status));
        }
      } else if (kw == "fail") {
        TransportFault fault;
        uint32_t index = 0, opcode = 0;
        if (!f.Number("command", 0xFFFFFFFF, &index) || !f.Number("opcode", 0xFF, &opcode) ||
            !f.Byte("srb", &fault.srb_status) || !f.Byte("ha", &fault.ha_stat) ||
            !f.Number("win32", 0xFFFFFFFF, &fault.win32_error) ||
            !f.Flag("reaches", &fault.reaches_drive)) {
          return fail(problem);
        }
        if (f.Has("command") == f.Has("opcode")) return fail("fail needs command= or opcode=");
        if (f.Has("command")) {
          drive->FailCommand(index, fault);
        } else {
          drive->FailOpcode(static_cast<uint8_t>(opcode), fault);
        }
      } else if (kw == "attention") {
        uint32_t index = 0;
        bool eject = false;
        std::string sense_text;
        Sense s = f.Has("eject") ? sense::kMediumChanged : sense::kResetOccurred;
        f.Text("sense", &sense_text);
        if (!f.Number("command", 0xFFFFFFFF, &index) || !f.Flag("eject", &eject)) {
          return fail(problem);
        }
        if (f.Has("command") == f.Has("eject")) return fail("attention needs command= or eject=");
        if (f.Has("sense") && !ParseSense(sense_text, &s)) {
          return fail("sense must be KK/AA/QQ (hex)");
        }
        if (f.Has("eject")) {
          drive->SetEjectAttention(eject, s);
        } else {
          drive->RaiseAttention(index, s);
        }
      } else if (kw == "flaky") {
        std::string reads;
        f.Text("inquiry", &reads);
        if (reads == "forever") {
          drive->SetFlakyInquiry(kForever);
        } else {
          uint32_t n = 0;
          if (reads.empty() || !f.Number("inquiry", 0xFFFFFFFE, &n)) {
            return fail("flaky needs inquiry=N or inquiry=forever");
          }
          drive->SetFlakyInquiry(n);
        }
      } else {
        uint32_t address = 0;
        std::string hex;
        std::vector<uint8_t> bytes;
        f.Text("bytes", &hex);
        if (!f.Has("addr") || !f.Number("addr", 0xFFFFFFFF, &address)) {
          return fail(problem.empty() ? "memory needs addr=" : problem);
        }
        if (!ParseHexBytes(hex, &bytes)) return fail("memory needs bytes=<hex>");
        drive->SetMemory(address, bytes);
      }
    } else {
      return fail("unknown statement '" + kw + "'");
    }
    if (!f.NoneLeft()) return fail(problem);
  }
  return true;  // a bus without adapters is allowed: ASPI present, nothing on it
}

}  // namespace sim
