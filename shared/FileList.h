// The files of a bring-online request, in order, kept compactly: a folder's path is stored once
// for all the files found in it, and each of those files as its name alone, so that a list of
// hundreds of thousands of files costs a few bytes per file instead of a string apiece.
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

  size_t size() const { return nameStarts_.size(); }
  bool empty() const { return nameStarts_.empty(); }
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
    size_t nameBase;  // where the run's names begin in names_
    uint32_t folder;  // 1 + the index in folders_; 0 for paths kept whole
  };
  void addName(uint32_t folder, std::string_view name);
  std::vector<Run>::const_iterator runOf(size_t index) const;

  // Folder paths with their trailing '/'.
  std::vector<std::string> folders_;
  // Every file's name (or whole path) back to back; one ends where the next begins.
  std::string names_;
  std::vector<Run> runs_;
  // Where each file's name begins, counted from its run's nameBase.
  std::vector<uint32_t> nameStarts_;
};
