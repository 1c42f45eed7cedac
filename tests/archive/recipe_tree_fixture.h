#pragma once
// Builds an unpacked tree on disk together with a recipe that describes it,
// tar-shaped: a 512-byte literal header per entry, file content as file spans
// padded to whole blocks, two zero blocks at the end.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/update_recipe.h"
#include "common/sha256.h"
#include "platform/fs.h"

namespace tl::test {

inline std::string toHex(std::string_view bytes) {
  return toLowerHex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

inline void writeHostFile(const std::string& hostPath, const std::string& content) {
  std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
  out << content;
}

class RecipeTree {
 public:
  RecipeTree& dir(const std::string& path) { return add(path, RecipeEntryKind::directory, {}, {}); }
  RecipeTree& file(const std::string& path, const std::string& content) {
    return add(path, RecipeEntryKind::file, content, {});
  }
  RecipeTree& symlink(const std::string& path, const std::string& target) {
    return add(path, RecipeEntryKind::symlink, {}, target);
  }
  RecipeTree& hardlink(const std::string& path, const std::string& target) {
    return add(path, RecipeEntryKind::hardlink, {}, target);
  }
  // Raw bytes in the archive, as a literal span (a multiple of 512 bytes
  // keeps the archive's size valid).
  RecipeTree& literal(const std::string& bytes) {
    items_.push_back(Item{{}, RecipeEntryKind::file, bytes, {}, true});
    return *this;
  }

  UpdateRecipe recipe() const {
    UpdateRecipe r;
    r.root = "app";
    std::string archive;
    for (const Item& item : items_) {
      if (item.rawLiteral) {
        literalSpan(r, archive, item.content);
        continue;
      }
      std::string header = item.path + '\0' + static_cast<char>('0' + static_cast<int>(item.kind));
      header.resize(512, '\0');
      literalSpan(r, archive, header);
      RecipeEntry e;
      e.path = item.path;
      e.kind = item.kind;
      e.mode = item.kind == RecipeEntryKind::directory ? 0755 : 0644;
      e.tar_offset = archive.size();
      if (item.kind == RecipeEntryKind::symlink || item.kind == RecipeEntryKind::hardlink) {
        e.link_target = item.target;
      }
      if (item.kind == RecipeEntryKind::file) {
        e.size = item.content.size();
        e.sha256 = sha256Hex(item.content);
        RecipeSpan span;
        span.path = item.path;
        span.size = item.content.size();
        r.spans.push_back(span);
        archive += item.content;
        const std::size_t pad = (512 - archive.size() % 512) % 512;
        if (pad != 0) literalSpan(r, archive, std::string(pad, '\0'));
      }
      r.entries.push_back(e);
    }
    literalSpan(r, archive, std::string(1024, '\0'));
    r.archive_size = archive.size();
    r.archive_sha256 = sha256Hex(archive);
    archive_ = archive;
    return r;
  }

  // The archive the recipe describes (after recipe()).
  const std::string& archive() const { return archive_; }

  // Lays the tree out below hostRoot (which exists).
  void writeTo(const std::string& hostRoot) const {
    namespace sfs = std::filesystem;
    for (const Item& item : items_) {
      if (item.rawLiteral) continue;
      const std::string host = hostRoot + "/" + item.path;
      sfs::create_directories(sfs::path(host).parent_path());
      switch (item.kind) {
        case RecipeEntryKind::directory:
          sfs::create_directories(host);
          break;
        case RecipeEntryKind::file:
          writeHostFile(host, item.content);
          break;
        case RecipeEntryKind::symlink:
          sfs::create_symlink(item.target, host);
          break;
        case RecipeEntryKind::hardlink:
          sfs::create_hard_link(hostRoot + "/" + item.target, host);
          break;
      }
    }
  }

 private:
  struct Item {
    std::string path;
    RecipeEntryKind kind;
    std::string content;
    std::string target;
    bool rawLiteral = false;
  };

  RecipeTree& add(const std::string& path, RecipeEntryKind kind, const std::string& content,
                  const std::string& target) {
    items_.push_back(Item{path, kind, content, target, false});
    return *this;
  }

  static void literalSpan(UpdateRecipe& r, std::string& archive, const std::string& bytes) {
    RecipeSpan span;
    span.literal_hex = toHex(bytes);
    span.size = bytes.size();
    r.spans.push_back(span);
    archive += bytes;
  }

  std::vector<Item> items_;
  mutable std::string archive_;
};

// Opens a host folder as a root handle.
inline fs::Dir openHostDir(const std::string& hostPath) {
  Result<fs::Dir> d = fs::openDir(fs::windowsPath(hostPath));
  return d ? std::move(d).take() : fs::Dir{};
}

}  // namespace tl::test
