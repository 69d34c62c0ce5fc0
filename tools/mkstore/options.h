// Command line of velmorix-mkstore: the options every store kind shares.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storebuilder/ndb.h"

namespace velmorix::mkstore {

struct CommonOptions {
  storebuilder::NdbOptions ndb;  // --format, --encryption, --client-magic, --uncompressed
  bool encryptionGiven = false;
  bool clientMagicGiven = false;
  uint64_t nodes = 0;            // --nodes N: bulk message entries
  bool nodeData = true;          // --empty-nodes clears it
  std::string out;               // the one positional argument
};

// Parses the shared options. Arguments it does not know are appended to
// `rest` (option and, for "--name value" forms the caller knows, it must
// collect the value itself from `rest`); with `rest` null they are an error.
// Returns false with `error` set on a bad value or unknown argument.
bool ParseCommonOptions(int argc, char** argv, CommonOptions& options, std::vector<std::string>* rest,
                        std::string& error);

const char* CommonUsage();

}  // namespace velmorix::mkstore
