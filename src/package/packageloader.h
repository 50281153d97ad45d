// Loading the embedded firmware package into what the transfer sends from.
#pragma once

#include "packageformat.h"

#include <QString>

#include <optional>
#include <span>
#include <string>

namespace qx::package {

inline constexpr char kPackageResourcePath[] = ":/firmware/qx-lp4r.pkg";
inline constexpr char kStagingFileName[] = "data.bin";
inline constexpr std::size_t kStagingDescriptorSize = 12;

// The package compiled into the program: read-only, whole, valid for the program's life.
std::span<const std::uint8_t> embeddedPackage();

// One line on the embedded package: the file its header names, the size text, the blocks, and
// whether it is the generated test payload or the firmware image the build was given.
std::string embeddedSummary();
// The embedded package is the generated test payload, not a firmware image given to the build.
bool embeddedIsTestPayload();

// The 12-byte descriptor that precedes the package in the staging file.
std::array<std::uint8_t, kStagingDescriptorSize> stagingDescriptor(std::uint32_t packageLength);

struct LoadResult
{
    Package package;
    bool ok = false;
    std::string error;   // why the package was refused; empty when ok
    bool staged = false; // sliced from the staging file (false: from `package` itself)
};

// What loading slices: the staging file as read back past its descriptor if it holds
// `package` unchanged (a tail beyond it is ignored), else `package` itself; no file at all
// (nullopt) is the same.
LoadResult sliceReadBack(std::optional<std::span<const std::uint8_t>> readBack,
                         std::span<const std::uint8_t> package);

// Writes the package behind its descriptor to a staging file in `programDir`, reads it back
// whole, deletes it and slices what it read if that is unchanged. A `data.bin` already there
// belongs to someone else and is left alone: a uniquely named file is used instead. Where no
// file can be staged (a read-only directory), or it read back otherwise, `package` itself is
// sliced.
LoadResult loadPackage(const QString& programDir, std::span<const std::uint8_t> package);
// What every face sends, loaded as above: the embedded package, or where a test gives other
// bytes (not empty), those.
LoadResult loadFirmware(const QString& programDir, std::span<const std::uint8_t> given = {});

} // namespace qx::package
