// velmorix-damage: writes damaged variants of the harness mailbox and a
// manifest telling which mails each variant leaves intact.
#include <chrono>
#include <cstdio>
#include <map>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "damage/damage.h"
#include "damage/measure.h"

namespace {

namespace dm = velmorix::damage;
namespace sb = velmorix::storebuilder;

constexpr const char* kUsage =
    "usage: velmorix-damage --out DIR [--format unicode|unicode4k|ansi|ansi15] [--layout compact|client]\n"
    "                       [--mails N] [--seed S] [--per-kind N] [--kind KIND [--param P]] [--measure]\n"
    "  Writes DIR/original.pst, one DIR/NNN-KIND.pst per variant and DIR/manifest.tsv:\n"
    "    variant<TAB>FILE<TAB>KIND<TAB>DESCRIPTION<TAB>INTACT/MAILS\n"
    "    mail<TAB>FILE<TAB>NID<TAB>FOLDER PATH<TAB>SUBJECT<TAB>1|0 (intact)<TAB>1|0 (own blocks intact)\n"
    "    deleted<TAB>FILE<TAB>NID<TAB>FORMER FOLDER PATH<TAB>SUBJECT<TAB>1|0 (its blocks intact)\n"
    "  --layout client: folders and indexes rewritten after each batch of mails, the older\n"
    "  versions left in the file, mails edited and deleted, many with equal headline fields.\n"
    "  KIND: cut, index-page, data-block, subnode-block, bit-flips, zero-region, header.\n"
    "  P: cut fraction, bit-flip rate, zeroed length, garbled header length, or page/block\n"
    "  choice in 0..1.\n"
    "  --measure: also recovers each variant without and with the deep scan and prints, per\n"
    "  kind, the mails each listed against the intact ones and those with their own blocks.\n"
    "  A mail is intact when nothing it depends on changed (header, index paths, blocks, its\n"
    "  folders); its own blocks are intact when its property-context blocks did not change.\n";

void WriteFile(const std::filesystem::path& path, const velmorix::Buffer& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

int Usage(const std::string& error) {
  if (!error.empty()) std::cerr << "velmorix-damage: " << error << "\n";
  std::cerr << kUsage;
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out;
  sb::Format format = sb::Format::Unicode23;
  int mails = 300;
  uint64_t seed = 1;
  int perKind = 5;
  std::optional<dm::DamageKind> onlyKind;
  std::optional<double> param;

  bool measure = false;
  dm::LayoutKind layout = dm::LayoutKind::Compact;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return Usage("");
    if (arg == "--measure") {
      measure = true;
      continue;
    }
    if (i + 1 >= argc) return Usage("missing value for " + arg);
    const std::string value = argv[++i];
    try {
      if (arg == "--out") {
        out = value;
      } else if (arg == "--format") {
        if (value == "unicode") format = sb::Format::Unicode23;
        else if (value == "unicode4k") format = sb::Format::Unicode4K;
        else if (value == "ansi") format = sb::Format::Ansi14;
        else if (value == "ansi15") format = sb::Format::Ansi15;
        else return Usage("unknown format " + value);
      } else if (arg == "--layout") {
        if (value == "compact") layout = dm::LayoutKind::Compact;
        else if (value == "client") layout = dm::LayoutKind::ClientLike;
        else return Usage("unknown layout " + value);
      } else if (arg == "--mails") {
        mails = std::stoi(value);
        if (mails < 1 || mails > 100000) return Usage("--mails must be 1 to 100000");
      } else if (arg == "--seed") {
        seed = std::stoull(value);
      } else if (arg == "--per-kind") {
        perKind = std::stoi(value);
        if (perKind < 1 || perKind > 10000) return Usage("--per-kind must be 1 to 10000");
      } else if (arg == "--kind") {
        onlyKind = dm::ParseKind(value);
        if (!onlyKind) return Usage("unknown kind " + value);
      } else if (arg == "--param") {
        param = std::stod(value);
      } else {
        return Usage("unknown option " + arg);
      }
    } catch (const std::exception&) {
      return Usage("bad value for " + arg + ": " + value);
    }
  }
  if (out.empty()) return Usage("--out is required");

  try {
    const std::filesystem::path dir(out);
    std::filesystem::create_directories(dir);
    const dm::Mailbox mailbox = dm::BuildSampleMailbox(format, mails, static_cast<uint32_t>(seed), layout);
    WriteFile(dir / "original.pst", mailbox.image);
    std::ofstream manifest(dir / "manifest.tsv", std::ios::trunc);

    std::vector<dm::DamageKind> kinds;
    if (onlyKind) kinds.push_back(*onlyKind);
    else kinds.assign(std::begin(dm::kAllKinds), std::end(dm::kAllKinds));

    int number = 0;
    std::map<dm::DamageKind, dm::KindFigures> figures;
    size_t problems = 0;
    for (dm::DamageKind kind : kinds) {
      size_t intactTotal = 0;
      size_t ownTotal = 0;
      for (int k = 0; k < perKind; ++k) {
        const dm::Variant v = dm::MakeVariant(mailbox, kind, seed * 100003 + static_cast<uint64_t>(number), param);
        char name[64];
        std::snprintf(name, sizeof name, "%03d-%s.pst", number++, dm::KindName(kind));
        WriteFile(dir / name, v.image);
        if (measure) {
          namespace ss = velmorix::session;
          const auto bound = std::chrono::seconds(60);
          const dm::Recovered normal = dm::RecoverImage(v.image, mailbox.mails, ss::DeepScanChoice::Never, bound, out);
          const dm::Recovered deep = dm::RecoverImage(v.image, mailbox.mails, ss::DeepScanChoice::Always, bound, out);
          for (const std::string& p : dm::Tally(mailbox, v, normal, deep, figures[kind])) {
            std::cerr << name << ": " << p << '\n';
            ++problems;
          }
        }
        size_t intact = 0;
        for (bool b : v.intact) intact += b ? 1 : 0;
        for (bool b : v.ownIntact) ownTotal += b ? 1 : 0;
        intactTotal += intact;
        manifest << "variant\t" << name << '\t' << dm::KindName(kind) << '\t' << v.description << '\t'
                 << intact << '/' << mailbox.mails.size() << '\n';
        for (size_t m = 0; m < mailbox.mails.size(); ++m) {
          const auto& spec = mailbox.mails[m].spec;
          manifest << "mail\t" << name << '\t' << spec.nid << '\t' << spec.folderPath << '\t' << spec.subject
                   << '\t' << (v.intact[m] ? 1 : 0) << '\t' << (v.ownIntact[m] ? 1 : 0) << '\n';
        }
        for (size_t m = 0; m < mailbox.deleted.size(); ++m) {
          const auto& spec = mailbox.deleted[m].spec;
          manifest << "deleted\t" << name << '\t' << spec.nid << '\t' << spec.folderPath << '\t' << spec.subject
                   << '\t' << (v.deletedIntact[m] ? 1 : 0) << '\n';
        }
      }
      std::cout << dm::KindName(kind) << ": " << perKind << " variants, " << intactTotal << " of "
                << mailbox.mails.size() * static_cast<size_t>(perKind) << " mails intact, " << ownTotal
                << " with their own blocks intact\n";
    }
    if (!manifest) throw std::runtime_error("cannot write the manifest");
    if (measure) {
      dm::PrintFigures(stdout, "recovered: intact and own-block mails listed, per kind", figures);
      std::cout << problems << " problems\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "velmorix-damage: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
