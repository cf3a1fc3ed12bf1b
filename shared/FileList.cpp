#include "FileList.h"

#include <algorithm>
#include <iterator>

FileList::FileList(const std::vector<std::string>& paths) {
  for (const auto& path : paths) push_back(path);
}

uint32_t FileList::folderOf(size_t index) const {
  const auto after = std::upper_bound(runs_.begin(), runs_.end(), index,
                                      [](size_t i, const Run& run) { return i < run.firstFile; });
  return std::prev(after)->folder;
}

std::string_view FileList::nextName(Mark& at) const {
  // A name that did not fit into a block's rest begins the next block.
  if (at.offset == blocks_[at.block].size()) {
    ++at.block;
    at.offset = 0;
  }
  const std::string& block = blocks_[at.block];
  const size_t end = block.find('\0', at.offset);
  const std::string_view name(block.data() + at.offset, end - at.offset);
  at.offset = static_cast<uint32_t>(end + 1);
  return name;
}

std::string FileList::operator[](size_t index) const {
  std::string out;
  path(index, out);
  return out;
}

void FileList::path(size_t index, std::string& out) const {
  Mark at = marks_[index / kStride];
  for (size_t skip = index % kStride; skip > 0; --skip) nextName(at);
  const uint32_t folder = folderOf(index);
  out.clear();
  if (folder != 0) out += folders_[folder - 1];
  out += nextName(at);
}

std::vector<std::string> FileList::toVector() const {
  std::vector<std::string> out;
  out.reserve(size_);
  Mark at{0, 0};
  auto run = runs_.begin();
  for (size_t i = 0; i < size_; ++i) {
    if (std::next(run) != runs_.end() && std::next(run)->firstFile == i) ++run;
    std::string& path = out.emplace_back();
    if (run->folder != 0) path = folders_[run->folder - 1];
    path += nextName(at);
  }
  return out;
}

void FileList::addName(uint32_t folder, std::string_view name) {
  const size_t needed = name.size() + 1;
  if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < needed) {
    blocks_.emplace_back().reserve(std::max(kBlockSize, needed));
  }
  std::string& block = blocks_.back();
  if (size_ % kStride == 0) {
    marks_.push_back(Mark{static_cast<uint32_t>(blocks_.size() - 1), static_cast<uint32_t>(block.size())});
  }
  if (runs_.empty() || runs_.back().folder != folder) runs_.push_back(Run{size_, folder});
  block += name;
  block += '\0';
  ++size_;
}

void FileList::push_back(std::string_view path) { addName(0, path); }

uint32_t FileList::addFolder(std::string_view folder) {
  std::string stored;
  stored.reserve(folder.size() + 1);
  stored += folder;
  stored += '/';
  folders_.push_back(std::move(stored));
  return static_cast<uint32_t>(folders_.size() - 1);
}

void FileList::add(uint32_t folder, std::string_view name) { addName(folder + 1, name); }

void FileList::append(FileList&& other) {
  if (empty() && folders_.empty()) {
    *this = std::move(other);
    return;
  }
  const auto folderBase = static_cast<uint32_t>(folders_.size());
  folders_.insert(folders_.end(), std::make_move_iterator(other.folders_.begin()),
                  std::make_move_iterator(other.folders_.end()));
  // The names are added anew: this list's marks fall every kStride files of its own.
  Mark at{0, 0};
  auto run = other.runs_.begin();
  for (size_t i = 0; i < other.size_; ++i) {
    if (std::next(run) != other.runs_.end() && std::next(run)->firstFile == i) ++run;
    addName(run->folder == 0 ? 0 : run->folder + folderBase, other.nextName(at));
  }
  other = FileList();
}
