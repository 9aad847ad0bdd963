// The program's string files: "qvelsml.txt" and "qvelsml_*.txt" in the
// install directory, loaded into the one table for a language.
#pragma once
#include "shell/ml.h"

#include <cstdint>
#include <string>

std::wstring language_main_file();
std::wstring language_file_pattern();
// Picks the language for the id among the files' languages and loads the
// table; false when the main file cannot be read or offers no language.
bool load_program_languages(uint16_t langid);
// Shorthand for a look-up in the program's table.
std::wstring ml_text(const char* id);
