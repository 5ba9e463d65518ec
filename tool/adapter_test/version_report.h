// The version-resource strings of the library under test, written to the
// status window before the library is loaded.
#pragma once

#include "tool/adapter_test/checker_ui.h"

// Appends one line per standard string key of the first translation of
// `libraryFileName`'s version resource, or one warning entry when the
// resource cannot be read. Never loads the file as a library.
void ReportDriverVersion(const CheckerUi& ui, const char* libraryFileName);
