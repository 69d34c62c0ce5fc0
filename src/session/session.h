// One recovery session: the stages run on a worker thread, the session values
// and the session data (lists of recovered folders and items) that the views
// read while the worker appends to them.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "session/recovery_view.h"

namespace velmorix::store {
struct NodeEntry;
}
namespace velmorix::items {
struct ItemRecord;
}

namespace velmorix::session {

namespace detail {
struct FoundTies;
}

class SessionData;  // defined in session/session_data.h
struct FolderRecord;

// How the last run ended.
enum class RunOutcome {
  None,        // no run yet, or still running
  Finished,    // the scan ended and was wrapped up (also after failure 005)
  OpenFailed,  // "Could not open file Try again"
  Failed,      // a "Found Condition" failure 001 to 004 (see failureCode)
  Stopped,     // ended at a stop checkpoint or inside the scan by the stop request
  Aborted,     // a failure escaped the run (no message, window left as it was)
};

// Node count that sizes the scan's progress range: nodes with data below the
// top folder node, following first children and climbing at most one level.
int ScanEstimate(const store::NodeEntry* topFolder);

enum class SessionState : char { Idle = 'A', Scanning = 'B', Finished = 'C' };

// Whether a run goes on with a deep scan after its normal stages.
enum class DeepScanChoice {
  Ask,     // when the normal stages failed or met damage, ask the user (the window)
  Always,  // always (velmorix-cli recover --deep)
  Never,   // never; damageFound() tells whether one would help
};

// The question asked when a run met damage.
inline constexpr const char* kDeepScanQuestion = "The file is damaged. Run a deep scan to find more items?";
// The folder record that takes what the deep scan finds without a known folder.
inline constexpr const char* kRecoveredItemsPath = "Personal Folders\\Recovered Items\\";
// The folder record below which the deep scan lists, on a file found intact,
// the items deleted from it (under their former folder's path when known).
inline constexpr const char* kRecoveredDeletedItemsPath = "Personal Folders\\Recovered Deleted Items\\";

class RecoverySession {
 public:
  explicit RecoverySession(RecoveryView& view);
  // Sets the stop request and joins a running worker, then releases the data.
  // A view whose calls need the calling thread's event loop must let the
  // worker end first (see WorkerRunning, onWorkerFinished).
  ~RecoverySession();
  RecoverySession(const RecoverySession&) = delete;
  RecoverySession& operator=(const RecoverySession&) = delete;

  // User-interface thread. Starts a recovery of `path` on a worker thread;
  // does nothing while a worker still runs.
  void StartRecovery(const std::string& path);
  // User-interface thread, once a recovery finished: runs the deep scan on
  // a worker thread into the same lists ("Search for Deleted Items"). Does
  // nothing while a worker runs or before a recovery finished.
  void StartDeepScan();
  // Runs the whole recovery on the calling thread (the worker's body); 1 when
  // the file could not be opened, 0 otherwise.
  int RunRecovery();
  // The Stop command: asks, and on Yes stops the scan. Returns true on Yes.
  bool RequestStop();
  // The Back command: releases all session data and returns to Idle. Sets
  // the stop request and joins a running worker first, so no data is released
  // while the worker can touch it; the window waits for the worker with its
  // event loop running before calling this.
  void DiscardRecovery();
  // The release made on exit (no window changes).
  void ReleaseSessionData();

  bool WorkerRunning() const { return workerRunning_.load(std::memory_order_acquire); }
  // Blocks until the worker thread has ended (joins it).
  void WaitForWorker();
  // Called on the worker thread right after the worker's body has ended.
  std::function<void()> onWorkerFinished;
  // Called on the worker inside the guarded part of stage 2 (before the
  // indexes load), stage 3 (before the map loads) and stage 5 (before each
  // node of the walk, after the stop poll), with the stage number. Lets tests
  // act at a precise point of a run; a throw is handled as that stage's fault.
  std::function<void(int stage)> stageProbe;
  // Helper threads that build items ahead of the scan's walk; -1: as many
  // as the machine's cores allow. The result is the same either way.
  int scanHelpers = -1;
  // Set before StartRecovery (the window asks, the command line chooses).
  DeepScanChoice deepScan = DeepScanChoice::Never;

  // Session values.
  SessionState state() const { return state_.load(std::memory_order_acquire); }
  void SetState(SessionState s) { state_.store(s, std::memory_order_release); }
  std::atomic<bool>& stopRequest() { return stop_; }
  int nodesVisited() const { return nodesVisited_.load(std::memory_order_acquire); }
  int mailCount() const { return mailCount_.load(std::memory_order_acquire); }
  int folderCount() const { return folderCount_.load(std::memory_order_acquire); }
  // Items of this run kept without their attachments because their
  // attachment table could not be read.
  int damagedAttachments() const { return damagedAttachments_.load(std::memory_order_acquire); }
  const std::string& sessionPath() const { return path_; }
  // The last run's normal stages failed or met damage: an index page that
  // could not be read, a node whose blocks are missing, an item that could
  // not be read, a file shorter than its header says.
  bool damageFound() const { return damageFound_.load(std::memory_order_acquire); }
  // The last run ran the deep scan to its end.
  bool deepScanRan() const { return deepScanRan_.load(std::memory_order_acquire); }
  // Folders and items the deep scan added to the lists.
  int deepScanAdded() const { return deepScanAdded_.load(std::memory_order_acquire); }

  // How the last run ended, and the failure code (1 to 5) of its "Found
  // Condition" message, 0 when none was shown. Valid once the worker ended.
  RunOutcome outcome() const { return outcome_.load(std::memory_order_acquire); }
  int failureCode() const { return failureCode_.load(std::memory_order_acquire); }

  // The recovered data; read on the user-interface thread while the worker
  // appends (entries are complete before they are linked in).
  const SessionData& data() const { return *data_; }
  // Lets the listed items go once the run has ended (see
  // SessionData::ReleaseListedItems): for a caller that has taken what it
  // needs from the lists and reads the items by node id. The caller holds
  // no entry. Waits for the worker first.
  void ReleaseListedItems();

 private:
  struct Run;
  // Opens nothing: gives the run a store that polls the stop request and
  // tells of an unknown block encoding once.
  void NewStore(Run& run);
  int RunNormalStages();
  void NoteStoreDamage(const Run& run);
  // The deep scan after the normal stages, as `deepScan` chooses.
  void MaybeRunDeepScan();
  void RunDeepScan();
  // Makes the named-property map found over the rebuilt indexes the one
  // readers take, when the normal stages found none.
  void FindNamedPropertyMap(Run& run, const std::vector<uint32_t>& orphanNids,
                            const std::vector<uint32_t>& orphanSubnodeLists);
  // `deletedOnly`: the file was found intact, so what is found was deleted.
  // `ties`: what the found tables name (detail::FoundTies).
  void PlaceDeepScanFinds(Run& run, const std::vector<uint32_t>& orphanNids, bool deletedOnly,
                          const detail::FoundTies& ties);
  void ReportFailure(Run& run, int code);
  void ShowFinished();
  bool ScanHierarchy(Run& run);  // false when the stop request ended it
  // False when the record is of no kind that is listed.
  bool RegisterItem(Run& run, items::ItemRecord& record, const store::NodeEntry* node);
  void RegisterMail(Run& run, items::ItemRecord& record, const store::NodeEntry* node);
  // The folder record an item of `node` lies in.
  FolderRecord& FolderOf(Run& run, const store::NodeEntry* node);
  // Tells the view when the list a folder shows changes kind.
  void ShowKindChange(FolderRecord& folder);
  void ResetCounters();

  RecoveryView& view_;
  std::atomic<SessionState> state_{SessionState::Idle};
  std::atomic<bool> stop_{false};
  std::atomic<int> nodesVisited_{0};
  std::atomic<int> mailCount_{0};
  std::atomic<int> folderCount_{0};
  std::atomic<int> damagedAttachments_{0};
  std::atomic<bool> damageFound_{false};
  std::atomic<bool> deepScanRan_{false};
  std::atomic<int> deepScanAdded_{0};
  uint32_t topFolderNid_ = 0;      // worker only; 0 until stage 4 found it
  std::string path_;
  std::unique_ptr<SessionData> data_;
  std::thread worker_;
  std::atomic<bool> workerRunning_{false};
  std::atomic<RunOutcome> outcome_{RunOutcome::None};
  std::atomic<int> failureCode_{0};
};

}  // namespace velmorix::session
