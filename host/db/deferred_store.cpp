#include "host/db/deferred_store.h"

#include <filesystem>

#include "host/db/schema.h"
#include "host/db/openers.h"

namespace vanto::store {
namespace {

class DeferredStore final : public SwipeStore {
 public:
  DeferredStore(std::string path, const OpenOptions& options) : path_(std::move(path)), options_(options) {}

  const std::string& location() const override { return real_ ? real_->location() : path_; }
  int schema_version() const override {
    SwipeStore* s = Existing();
    return s ? s->schema_version() : LatestSchemaVersion();
  }

  std::vector<bool> Insert(std::span<const StoredSwipe> rows) override { return Made().Insert(rows); }
  InsertResult InsertChecked(std::span<const StoredSwipe> rows, OnConflict on_conflict) override {
    return Made().InsertChecked(rows, on_conflict);
  }
  std::int64_t Count(const SwipeQuery& query) const override {
    SwipeStore* s = Existing();
    return s ? s->Count(query) : 0;
  }
  void Each(const SwipeQuery& query, const std::function<bool(const StoredSwipe&)>& row) const override {
    if (SwipeStore* s = Existing()) s->Each(query, row);
  }
  void EachBrief(const SwipeQuery& query, const std::function<bool(const BriefSwipe&)>& row) const override {
    if (SwipeStore* s = Existing()) s->EachBrief(query, row);
  }
  std::vector<std::int32_t> PersonsWithSwipes(const SwipeQuery& query) const override {
    SwipeStore* s = Existing();
    return s ? s->PersonsWithSwipes(query) : std::vector<std::int32_t>{};
  }
  PeopleImport PutPeople(std::span<const PersonName> people) override { return Made().PutPeople(people); }
  PeopleImport PutPeopleAudited(std::span<const PersonName> people, const AuditNote& audit) override {
    return Made().PutPeopleAudited(people, audit);
  }
  std::vector<PersonName> People(const std::optional<std::string>& site) const override {
    SwipeStore* s = Existing();
    return s ? s->People(site) : std::vector<PersonName>{};
  }
  std::vector<PersonName> PeopleAmong(std::span<const std::int32_t> persons,
                                      const std::optional<std::string>& site) const override {
    SwipeStore* s = Existing();
    return s ? s->PeopleAmong(persons, site) : std::vector<PersonName>{};
  }
  std::vector<std::string> Departments(const std::optional<std::string>& site) const override {
    SwipeStore* s = Existing();
    return s ? s->Departments(site) : std::vector<std::string>{};
  }
  int CountEarlier(const LogKey& log, std::int32_t person, const std::string& minute, std::uint32_t before) const override {
    SwipeStore* s = Existing();
    return s ? s->CountEarlier(log, person, minute, before) : 0;
  }
  LogCoverage Coverage(const LogKey& log) const override {
    SwipeStore* s = Existing();
    return s ? s->Coverage(log) : LogCoverage{};
  }
  std::optional<std::pair<std::int32_t, std::string>> SwipeAt(const LogKey& log, std::uint32_t index) const override {
    SwipeStore* s = Existing();
    return s ? s->SwipeAt(log, index) : std::nullopt;
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> Missing(const LogKey& log, std::uint32_t held,
                                                               std::size_t limit) const override {
    SwipeStore* s = Existing();
    return s ? s->Missing(log, held, limit) : std::vector<std::pair<std::uint32_t, std::uint32_t>>{};
  }
  bool AddRejected(const RejectedRecord& record) override { return Made().AddRejected(record); }
  std::vector<RejectedRecord> Rejected(const std::optional<std::string>& site) const override {
    SwipeStore* s = Existing();
    return s ? s->Rejected(site) : std::vector<RejectedRecord>{};
  }
  std::vector<EnrolmentEntry> Enrolments(const std::optional<std::string>& site) const override {
    SwipeStore* s = Existing();
    return s ? s->Enrolments(site) : std::vector<EnrolmentEntry>{};
  }
  LogKey CurrentLog(std::uint32_t identity, std::uint32_t generation) const override {
    SwipeStore* s = Existing();
    return s ? s->CurrentLog(identity, generation) : LogKey{identity, generation, 0};
  }
  std::vector<LogEpoch> Epochs(std::uint32_t identity, std::uint32_t generation) const override {
    SwipeStore* s = Existing();
    return s ? s->Epochs(identity, generation) : std::vector<LogEpoch>{};
  }
  std::pair<LogKey, InsertResult> OpenEpoch(const LogKey& log, std::uint32_t first, std::optional<std::int64_t> conflict,
                                            std::span<const StoredSwipe> rows) override {
    return Made().OpenEpoch(log, first, conflict, rows);
  }
  bool LowerEpochStart(const LogKey& log, std::uint32_t first) override { return Made().LowerEpochStart(log, first); }
  std::vector<RecordConflict> Conflicts(bool acknowledged, const std::optional<std::string>& site) const override {
    SwipeStore* s = Existing();
    return s ? s->Conflicts(acknowledged, site) : std::vector<RecordConflict>{};
  }
  bool AcknowledgeConflict(std::int64_t id, const std::string& by) override { return Made().AcknowledgeConflict(id, by); }
  std::vector<StoredDouble> Doubles() const override {
    SwipeStore* s = Existing();
    return s ? s->Doubles() : std::vector<StoredDouble>{};
  }
  std::vector<StoredDouble> FoldDoubles(const AuditNote& audit) override {
    SwipeStore* s = Existing();
    return s ? s->FoldDoubles(audit) : std::vector<StoredDouble>{};
  }
  std::vector<LogEpoch> AllEpochs() const override {
    SwipeStore* s = Existing();
    return s ? s->AllEpochs() : std::vector<LogEpoch>{};
  }
  bool PutEpoch(const LogEpoch& epoch) override { return Made().PutEpoch(epoch); }
  std::int64_t PutConflict(const RecordConflict& conflict) override { return Made().PutConflict(conflict); }

 private:
  // The database, once it exists (made by this store or by another process).
  SwipeStore* Existing() const {
    std::error_code ec;
    if (!real_ && std::filesystem::exists(path_, ec)) real_ = OpenSwipeStore(path_, options_);
    return real_.get();
  }
  SwipeStore& Made() {
    if (!real_) real_ = OpenSwipeStore(path_, options_);
    return *real_;
  }

  std::string path_;
  OpenOptions options_;
  mutable std::unique_ptr<SwipeStore> real_;
};

}  // namespace

std::unique_ptr<SwipeStore> OpenSwipeStoreOnFirstWrite(const std::string& location, const OpenOptions& options) {
  std::error_code ec;
  if (IsDatabaseUrl(location) || !options.create || std::filesystem::exists(location, ec))
    return OpenSwipeStore(location, options);
  // The folder is checked now, as opening would: a mistake is told before any terminal is read.
  const std::filesystem::path folder =
      std::filesystem::path(location).parent_path().empty() ? "." : std::filesystem::path(location).parent_path();
  if (!std::filesystem::is_directory(folder, ec)) return OpenSwipeStore(location, options);
  return std::make_unique<DeferredStore>(location, options);
}

}  // namespace vanto::store
