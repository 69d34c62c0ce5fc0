// Recoveries of damaged variants, with and without the deep scan, and the
// figures that compare them with what the damage left intact.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "damage/damage.h"
#include "session/session.h"

namespace velmorix::damage {

// What one recovery listed: the rows of each subject by folder path, and
// each subject's rows anywhere with their senders.
struct Recovered {
  std::map<std::string, std::map<std::string, size_t>> subjects;
  std::map<std::string, std::vector<std::string>> senders;  // by subject, one per row
  session::RunOutcome outcome = session::RunOutcome::None;
  std::vector<std::string> messages;
  bool finishedInTime = true;
  bool damageFound = false;

  // Rows with that subject in the folder of that path.
  size_t InFolder(const std::string& path, const std::string& subject) const {
    auto it = subjects.find(path);
    if (it == subjects.end()) return 0;
    auto row = it->second.find(subject);
    return row == it->second.end() ? 0 : row->second;
  }
  // The same over the folders whose path starts with `prefix`.
  size_t Below(const std::string& prefix, const std::string& subject) const;
  bool Has(const MailSpec& m) const { return InFolder(m.folderPath, m.subject) != 0; }
  // Rows with that subject anywhere.
  size_t Rows(const std::string& subject) const {
    auto it = senders.find(subject);
    return it == senders.end() ? 0 : it->second.size();
  }
  size_t Rows(const MailSpec& m) const { return Rows(m.subject); }
};

// Writes `image` into `dir`, recovers it on a session's worker thread and
// waits at most `bound` for the end. A run that overstays is stopped; one
// that does not stop either ends the program.
Recovered RecoverImage(const Buffer& image, const std::vector<MailInfo>& mails, session::DeepScanChoice deep,
                       std::chrono::milliseconds bound, const std::string& dir);

// Per damage kind: how many mails each recovery listed, against the mails
// still intact and the mails whose own blocks are untouched. Mails of one
// subject count together: n rows of it list n of them.
struct KindFigures {
  long variants = 0;
  long mails = 0;
  long intact = 0;        // nothing the mail depends on changed
  long own = 0;           // its own property-context blocks unchanged
  long normal = 0;        // listed by the normal recovery, in its folder
  long normalIntact = 0;
  long deep = 0;          // listed with the deep scan, anywhere
  long deepOwn = 0;       // of `own`, listed with its sender and no extra row
  long ownFolder = 0;     // own blocks, its folder path's contexts and contents table unchanged
  long deepFolder = 0;    // of `ownFolder`, listed with the deep scan in its folder
  long deleted = 0;       // deleted mails whose blocks are unchanged
  long deletedListed = 0;  // of those, listed with the deep scan once
  long deletedOnIntact = 0;  // of those, on variants the normal recovery found undamaged
  long deletedPlaced = 0;    // of these, listed below "Recovered Deleted Items"
  long staleListed = 0;    // older versions of edited mails listed with the deep scan
};

double Share(long part, long whole);

// Adds one variant's recoveries to `f` and returns what broke a rule: an
// intact mail the normal recovery missed, a mail the deep scan lost or
// listed again, a deleted mail listed twice, an older version listed beside
// an undamaged newer one.
std::vector<std::string> Tally(const Mailbox& mailbox, const Variant& variant, const Recovered& normal,
                               const Recovered& deep, KindFigures& f);

void PrintFigures(std::FILE* out, const std::string& title, const std::map<DamageKind, KindFigures>& figures);

}  // namespace velmorix::damage
