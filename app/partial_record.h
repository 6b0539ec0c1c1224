#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/stream.h"

// A file this program is receiving carries a record of the offer it belongs
// to, from the moment the receive starts until it completes. Only such a file
// is continued by an automatic resume, and only for the same offer: any other
// file of the same name (a different photo.jpg, a file the user put there)
// is never appended to.
//
// The record is the extended attribute user.fernwaypost.partial, holding the
// offered size in decimal, a line feed, and the offer's name line. Where the
// file system keeps no user attributes, the same bytes go into a hidden file
// beside it: "." + name + ".fwpost-partial".
namespace fwp {

constexpr const char* PartialAttribute = "user.fernwaypost.partial";
constexpr std::string_view PartialFileSuffix = ".fwpost-partial";

// Marks the file of stream (opened for writing) as an unfinished receive of
// an offer of size bytes under nameLine. False when no record could be kept.
bool WritePartialRecord(const TFileStream& stream, std::int64_t size, std::string_view nameLine);

// True when name inside the folder dirFd carries the record of exactly that offer.
bool PartialRecordMatches(int dirFd, const std::string& name, std::int64_t size, std::string_view nameLine);
bool PartialRecordMatches(const std::filesystem::path& path, std::int64_t size, std::string_view nameLine);

// Removes the record: the file is complete.
void ClearPartialRecord(const TFileStream& stream);

}  // namespace fwp
