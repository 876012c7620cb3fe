// codeintel/impact_edges.h: the edge graph an impact analysis walks: the whole project's,
// read in one scan, or the part one analysis reaches, read on demand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "codeintel/import_resolution.h"
#include "codeintel/text_map.h"
#include "db/connection.h"
#include "db/statement.h"

namespace nodrel::codeintel {

// A file with this many inbound edges is flagged as high-impact.
inline constexpr std::int64_t kHighImpactInboundEdges = 21;
// The whole graph is read once a dependency frontier holds an eighth of the project's files, or
// the dependents whose names were not read yet a quarter: past those shares, reading the files
// by index costs more than one scan of every edge (measured on Go's standard library, where most
// names are declared in many files, and on a TypeScript tree of import references).
inline constexpr std::size_t kWalkedShareOfFrontier = 8;
inline constexpr std::size_t kWalkedShareOfDependents = 4;

using Ids = std::vector<std::string>;
using PathsByID = std::unordered_map<std::string, std::string>;

// The file a Go package's references name (the first of ImportResolver::goPackage).
struct PackageRepresentative {
  std::string id;
  std::string path;
};

// A file that depends on some files of a frontier, with the evidence for it.
struct Dependent {
  std::string id;
  bool imports = false;    // it references a frontier file
  std::int64_t names = 0;  // its edges to names it can see a frontier file declare
  friend bool operator==(const Dependent&, const Dependent&) = default;
};

// The whole edge graph of the project, read in one scan. Files and targets are numbered as they
// are first met, so each text is copied once however many edges carry it.
class ProjectEdges {
 public:
  ProjectEdges(const std::string& project, db::Connection& db);

  // The files that depend on a frontier file, other than the frontier files, in the order
  // first found: those that reference one, and those with an edge to a name that a frontier file
  // declares where they can see it (they reference that file, or share its implicit scope).
  // `paths` gives the paths of frontier files that have no edges of their own.
  std::vector<Dependent> dependentsOf(const Ids& frontier, const PathsByID& paths) const;

  // The relative paths of files that have edges, in the order of `ids`; a file without edges
  // or with a path that is not text adds nothing.
  std::vector<std::string> pathsOf(const Ids& ids) const {
    std::vector<std::string> paths;
    for (const auto& id : ids) {
      if (auto it = fileIndex_.find(id); it != fileIndex_.end() && paths_[it->second]) {
        paths.push_back(*paths_[it->second]);
      }
    }
    return paths;
  }

  // Edges of the project's other files that point at one of the file's names, each edge once.
  std::int64_t inboundEdges(const std::string& file) const {
    auto declared = declaredTargets_.find(file);
    if (declared == declaredTargets_.end()) return 0;
    const auto& own = declared->second;
    std::int64_t count = 0;
    for (auto name : own) count += static_cast<std::int64_t>(filesByTarget_[name].size());
    if (auto it = fileIndex_.find(file); it != fileIndex_.end()) {
      for (auto target : targetsOfFile_[it->second]) {
        if (std::binary_search(own.begin(), own.end(), target)) --count;
      }
    }
    return count;
  }

 private:
  std::uint32_t fileNumber(std::string_view id, std::optional<std::string_view> path) {
    if (auto it = fileIndex_.find(id); it != fileIndex_.end()) return it->second;
    const auto number = static_cast<std::uint32_t>(files_.size());
    files_.push_back(&fileIndex_.try_emplace(std::string(id), number).first->first);
    paths_.push_back(path ? std::optional<std::string>(*path) : std::nullopt);
    scopes_.push_back(path ? implicitScopeOf(*path) : std::nullopt);
    targetsOfFile_.emplace_back();
    return number;
  }

  std::uint32_t targetNumber(std::string_view target) {
    if (auto it = targetIndex_.find(target); it != targetIndex_.end()) return it->second;
    const auto number = static_cast<std::uint32_t>(targets_.size());
    targets_.push_back(&targetIndex_.try_emplace(std::string(target), number).first->first);
    filesByTarget_.emplace_back();
    return number;
  }

  // The project files that reference frontier file `f` (`id`, of the representative
  // `representative` when it is a Go package file), one entry per edge, repeats possible.
  std::vector<std::uint32_t> referencing(const std::string& id,
                                         const PackageRepresentative* representative) const;

  // Numbered files and targets point at their maps' keys, which stay in place.
  TextViewMap<std::uint32_t> fileIndex_;
  std::vector<const std::string*> files_;
  std::vector<std::optional<std::string>> paths_;
  std::vector<std::vector<std::uint32_t>> targetsOfFile_;  // one entry per edge
  TextViewMap<std::uint32_t> targetIndex_;
  std::vector<const std::string*> targets_;
  std::vector<std::vector<std::uint32_t>> filesByTarget_;  // one entry per edge
  // File id to the numbers of the edge targets it declares, sorted, without repeats.
  TextViewMap<std::vector<std::uint32_t>> declaredTargets_;
  std::vector<std::optional<std::string>> scopes_;  // by file number (implicitScopeOf)
  // Each Go package file of the project to the file that stands for its package, when that is
  // another file.
  TextViewMap<PackageRepresentative> representatives_;
  // A representative's id to the files whose edges to it stand for its whole package, one
  // entry per edge.
  TextViewMap<std::vector<std::uint32_t>> packageImporters_;
};

// What analyses of one project have read of its edge graph: the names some files declare and
// the edges that point at some targets, each read at most once, or the whole graph once an
// analysis reached a large share of the project. A caller that lives long keeps it between
// analyses while the project's code rows stay as they were read (code_generation.h).
struct EdgeReads {
  std::optional<std::size_t> projectFiles;
  // Set once an analysis reaches enough of the project to read all of it; answers from then on.
  std::shared_ptr<const ProjectEdges> whole;
  std::vector<std::string> files;
  std::vector<std::optional<std::string>> paths;
  std::vector<std::optional<std::string>> scopes;  // by file number (implicitScopeOf)
  std::unordered_map<std::string, std::uint32_t> fileIndex;
  // File id to the names it declares, sorted, without repeats; present once read.
  std::unordered_map<std::string, std::vector<std::string>> names;
  // Target to the project files of the edges that point at it; present once read.
  std::unordered_map<std::string, std::vector<std::uint32_t>> edgesTo;
  // File id to its edges that point at one of its own names; present once read.
  std::unordered_map<std::string, std::int64_t> ownEdges;
  // A folder to the representative of its Go package, none when it holds no package file;
  // present once read.
  std::unordered_map<std::string, std::optional<PackageRepresentative>> representatives;
};

// The part of the project's edge graph that one analysis reaches, read on demand in batches
// into its EdgeReads. A change near the leaves reads a few rows instead of every edge of the
// project. Reaching files by index costs several times what a scan costs per row, so once the
// analysis reaches a large share of the project's files it reads the whole graph in one scan
// instead; both give the same answers.
class EdgeGraph {
 public:
  // Prepares its statements at once, so that tables it cannot read fail the analysis whether or
  // not any file resolves. Reads kept from earlier analyses of the project (with the same code
  // rows) are answered from memory; what this one reads is added to them.
  EdgeGraph(const std::string& project, db::Connection& db,
            std::shared_ptr<EdgeReads> kept = nullptr);

  // The whole graph, when an analysis read it.
  const std::shared_ptr<const ProjectEdges>& whole() const { return reads_->whole; }

  // As ProjectEdges::dependentsOf.
  std::vector<Dependent> dependentsOf(const Ids& frontier, const PathsByID& paths);

  // The relative paths of files that have edges, in the order of `ids`; a file without edges
  // or with a path that is not text adds nothing.
  std::vector<std::string> pathsOf(const Ids& ids) const {
    if (reads_->whole) return reads_->whole->pathsOf(ids);
    std::vector<std::string> paths;
    for (const auto& id : ids) {
      if (auto it = reads_->fileIndex.find(id);
          it != reads_->fileIndex.end() && reads_->paths[it->second]) {
        paths.push_back(*reads_->paths[it->second]);
      }
    }
    return paths;
  }

  // For each file, the edges of the project's other files that point at one of its names, each
  // edge once; in the order of `files`.
  std::vector<std::int64_t> inboundEdges(const Ids& files);

 private:
  std::uint32_t fileIndex(const std::string& id, const db::Value& path);

  // Fills the names read for the files not read yet: their declared names without repeats.
  void readNames(const Ids& files);

  // Fills the edges read for the targets not read yet: the project files of their edges, one
  // entry per edge.
  void readEdgesTo(const Ids& targets);

  // Fills the own edges read for the files not read yet: their edges that point at one of
  // their own names.
  void readOwnEdges(const Ids& files);

  std::size_t projectFileCount();

  // The representative of the Go package of a file, read once per folder; nothing for a file
  // that belongs to no Go package, and for the representative itself.
  const PackageRepresentative* representativeOf(const std::string& id,
                                                const std::optional<std::string>& path);

  // Reads the whole graph once an analysis reaches past the shares above; the rows read by
  // index are then no longer needed.
  void readWhole();

  const std::string& project_;
  db::Connection& db_;
  db::Statement selectNames_;
  db::Statement selectEdgesTo_;
  db::Statement selectTargetsOf_;
  db::Statement selectGoFilesOfFolder_;
  db::Statement selectGoFilesOfRoot_;
  std::shared_ptr<EdgeReads> reads_;
};

}  // namespace nodrel::codeintel
