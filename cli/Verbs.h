// SPDX-License-Identifier: GPL-3.0-or-later
// The verbs of the kvo command. Each verb file adds its subcommand to the
// application; when the subcommand is chosen its callback runs the verb and
// stores the exit status. Verbs print results on standard output and errors
// on standard error, in the system's own error texts.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "formats/ConForm.h"
#include "platform/TextUtil.h"

namespace kvo::cli {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAIL = 1;
inline constexpr int EXIT_USAGE = 2;

void AddInfoVerb(CLI::App& App, int& Status);
void AddConvertVerb(CLI::App& App, int& Status);
// list, add, delete, rename, prefix
void AddStoreVerbs(CLI::App& App, int& Status);
// positions, set, shuffle, restore
void AddLogoVerbs(CLI::App& App, int& Status);
// gallery create, gallery install
void AddGalleryVerbs(CLI::App& App, int& Status);

// drive, drive set
void AddDriveVerbs(CLI::App& App, int& Status);
// preview: the logo as an animated GIF
void AddPreviewVerb(CLI::App& App, int& Status);

// The list index of a stored picture named with or without ".kvo";
// INVALID_ID when there is none.
int32_t FindStored(const std::string& Name);


// printf into To, the whole text made plain (PlainText) on the way: what
// the verbs print names files, pictures, drives and processes that others
// named. Every text the command prints passes here; JSON escapes its own.
void PrintPlain(std::FILE* To, const char* Format, ...) __attribute__((format(printf, 2, 3)));

// "kvo: SUBJECT: TEXT" on standard error.
void ReportError(const std::string& Subject, const std::string& Text);

// Describes a file as the import sees it (UniInfo, with its probe of the
// other formats). False with the reason in Error when the file cannot be
// described at all; true (with the flags telling) otherwise.
bool DescribeFile(const std::string& FileName, TUniInfo& Info, std::string& Error);

// Runs Verb so that nothing it raises escapes: an exception becomes a
// message and status 1.
template <class F>
int GuardVerb(const char* Name, F&& Verb) {
  try {
    return Verb();
  } catch (const std::exception& e) {
    ReportError(Name, e.what());
  } catch (...) {
    ReportError(Name, "unexpected failure");
  }
  return EXIT_FAIL;
}

}  // namespace kvo::cli
