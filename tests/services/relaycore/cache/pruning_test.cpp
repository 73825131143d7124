// Pruning retired specs and canonical docs: only entries directly in the two cache
// directories go, and never anything a link leads to.
#include "services/relaycore/cache/pruning.hpp"

#include "core/fs.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

namespace cache = kolvex::services::relaycore::cache;
using kolvex::testing::TempDir;
namespace stdfs = std::filesystem;

TEST(PruneSpecs, RemovesRetiredDomainsOnly)
{
  TempDir repo;
  cache::_prune_spec_dirs(repo.handle(), {"billing"}); // no specs directory: nothing
  repo.write(".kolvex/.platform/specs/billing/spec.md", "b\n");
  repo.write(".kolvex/.platform/specs/auth/spec.md", "a\n");
  repo.write(".kolvex/.platform/specs/auth/deep/more.md", "m\n");
  repo.write(".kolvex/.platform/specs/plain.md", "p\n");
  cache::_prune_spec_dirs(repo.handle(), {"billing"});
  EXPECT_FALSE(stdfs::exists(repo.path() / ".kolvex/.platform/specs/auth"));
  EXPECT_TRUE(stdfs::exists(repo.path() / ".kolvex/.platform/specs/billing/spec.md"));
  EXPECT_TRUE(stdfs::exists(repo.path() / ".kolvex/.platform/specs/plain.md"));
}

TEST(PruneSpecs, NeverReachesThroughALink)
{
  TempDir repo;
  TempDir outside;
  outside.write("victim/keep.md", "keep\n");
  stdfs::create_directories(repo.path() / ".kolvex/.platform/specs");
  stdfs::create_directory_symlink(outside.path() / "victim",
                                  repo.path() / ".kolvex/.platform/specs/retired");
  cache::_prune_spec_dirs(repo.handle(), {"billing"});
  EXPECT_EQ(outside.read("victim/keep.md"), "keep\n");

  TempDir linked;
  stdfs::create_directories(linked.path() / ".kolvex/.platform");
  stdfs::create_directory_symlink(outside.path(), linked.path() / ".kolvex/.platform/specs");
  EXPECT_THROW(cache::_prune_spec_dirs(paths::RepositoryHandle(linked.path()), {"billing"}),
               kolvex::core::fs::UnsafePathError);
  EXPECT_EQ(outside.read("victim/keep.md"), "keep\n");
}

TEST(PruneCanonicalDocs, DeletesOnlyRetiredMarkdownFiles)
{
  TempDir repo;
  cache::_prune_canonical_docs_dir(repo.handle(), {}); // no docs directory: nothing
  for (const char* name : {"architecture.md", "runbook.md", "notes.txt", "UPPER.MD", ".md"}) {
    repo.write(std::string(".kolvex/docs/") + name, "x\n");
  }
  repo.write(".kolvex/docs/sub/inner.md", "x\n");
  cache::_prune_canonical_docs_dir(repo.handle(), {"architecture"});
  const stdfs::path docs = repo.path() / ".kolvex/docs";
  EXPECT_TRUE(stdfs::exists(docs / "architecture.md"));
  EXPECT_FALSE(stdfs::exists(docs / "runbook.md"));
  for (const char* kept : {"notes.txt", "UPPER.MD", ".md", "sub/inner.md"}) {
    EXPECT_TRUE(stdfs::exists(docs / kept)) << kept;
  }
  // An authoritative empty list: every doc goes.
  cache::_prune_canonical_docs_dir(repo.handle(), {});
  EXPECT_FALSE(stdfs::exists(docs / "architecture.md"));
}

TEST(PruneCanonicalDocs, ALinkedDocIsNotItsTarget)
{
  TempDir repo;
  TempDir outside;
  outside.write("runbook.md", "outside\n");
  stdfs::create_directories(repo.path() / ".kolvex/docs");
  stdfs::create_symlink(outside.path() / "runbook.md", repo.path() / ".kolvex/docs/runbook.md");
  cache::_prune_canonical_docs_dir(repo.handle(), {});
  EXPECT_EQ(outside.read("runbook.md"), "outside\n");
}
