// The files of a bring-online request, in order, kept compactly: a folder's path is stored once
// for all the files found in it, and each of those files as its name alone, so that a list of
// hundreds of thousands of files costs its names and a byte per file instead of a string apiece.
// Paths never hold a NUL, so a NUL ends each name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class FileList {
 public:
  FileList() = default;
  // A plain list of paths converts implicitly, for callers that have one.
  FileList(const std::vector<std::string>& paths);

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string operator[](size_t index) const;
  // The path at index, written into out so that a loop over the list reuses one buffer.
  void path(size_t index, std::string& out) const;
  std::vector<std::string> toVector() const;

  // A path kept whole.
  void push_back(std::string_view path);
  // A folder whose files are added with add(); returns its number in this list.
  uint32_t addFolder(std::string_view folder);
  // The file name in a folder from addFolder(); the path is the folder, '/' and name.
  void add(uint32_t folder, std::string_view name);
  // Moves the files of other after these.
  void append(FileList&& other);

 private:
  // Files added one after another from the same folder (or kept whole) form one run.
  struct Run {
    size_t firstFile;
    uint32_t folder;  // 1 + the index in folders_; 0 for paths kept whole
  };
  // Where a name begins: its block and the offset in it.
  struct Mark {
    uint32_t block;
    uint32_t offset;
  };
  // One mark per this many files; the names in between are found by their terminators.
  static constexpr size_t kStride = 32;
  static constexpr size_t kBlockSize = 64 * 1024;

  void addName(uint32_t folder, std::string_view name);
  uint32_t folderOf(size_t index) const;
  // The name at, which then moves on to the next name.
  std::string_view nextName(Mark& at) const;

  // Folder paths with their trailing '/'.
  std::vector<std::string> folders_;
  // Every file's name (or whole path), each ended by a NUL, back to back in blocks that are
  // reserved once and never grow: no name moves, and a long list is never copied to grow it.
  std::vector<std::string> blocks_;
  std::vector<Mark> marks_;
  std::vector<Run> runs_;
  size_t size_ = 0;
};
