#include "FileList.h"

#include <algorithm>
#include <iterator>
#include <limits>

FileList::FileList(const std::vector<std::string>& paths) {
  nameStarts_.reserve(paths.size());
  for (const auto& path : paths) push_back(path);
}

std::vector<FileList::Run>::const_iterator FileList::runOf(size_t index) const {
  const auto after = std::upper_bound(runs_.begin(), runs_.end(), index,
                                      [](size_t i, const Run& run) { return i < run.firstFile; });
  return std::prev(after);
}

std::string FileList::operator[](size_t index) const {
  std::string out;
  path(index, out);
  return out;
}

void FileList::path(size_t index, std::string& out) const {
  const auto run = runOf(index);
  const size_t begin = run->nameBase + nameStarts_[index];
  size_t end = names_.size();
  if (index + 1 < nameStarts_.size()) {
    const auto next = std::next(run) != runs_.end() && std::next(run)->firstFile == index + 1
                          ? std::next(run)
                          : run;
    end = next->nameBase + nameStarts_[index + 1];
  }
  out.clear();
  if (run->folder != 0) out += folders_[run->folder - 1];
  out.append(names_, begin, end - begin);
}

std::vector<std::string> FileList::toVector() const {
  std::vector<std::string> out(size());
  for (size_t i = 0; i < out.size(); ++i) path(i, out[i]);
  return out;
}

void FileList::addName(uint32_t folder, std::string_view name) {
  const size_t start = names_.size();
  // Offsets within a run are 32 bits: a run that would outgrow them ends there.
  if (runs_.empty() || runs_.back().folder != folder ||
      start - runs_.back().nameBase > std::numeric_limits<uint32_t>::max()) {
    runs_.push_back(Run{nameStarts_.size(), start, folder});
  }
  nameStarts_.push_back(static_cast<uint32_t>(start - runs_.back().nameBase));
  names_ += name;
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
  const size_t nameBase = names_.size();
  const size_t fileBase = nameStarts_.size();
  folders_.insert(folders_.end(), std::make_move_iterator(other.folders_.begin()),
                  std::make_move_iterator(other.folders_.end()));
  names_ += other.names_;
  for (const Run& run : other.runs_) {
    runs_.push_back(Run{fileBase + run.firstFile, nameBase + run.nameBase,
                        run.folder == 0 ? 0 : run.folder + folderBase});
  }
  nameStarts_.insert(nameStarts_.end(), other.nameStarts_.begin(), other.nameStarts_.end());
  other = FileList();
}
