// JSON for the state files and backups: one fixed pretty layout when writing, and a
// streaming reader whose refusals carry fixed message shapes and the place where
// reading stopped (" at line L column C").
//
//   json_writer.hpp  JsonWriter, write_value, to_json_pretty
//   json_reader.hpp  JsonReader, read_value, from_json; check_value, check_json (nothing kept)
//   json_record.hpp  record descriptions: one field list per record for reading and writing
//   json_value.hpp   JsonValue (untyped), parse_json
//   json_lexer.hpp   the reader's token layer and its positions
//   json_string_scan.hpp  the lexer's scans of string text
#pragma once

#include "utils/json_reader.hpp"
#include "utils/json_record.hpp"
#include "utils/json_value.hpp"
#include "utils/json_writer.hpp"
