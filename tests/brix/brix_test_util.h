// Helpers of the archiver's unit tests: a clean program state for each case
// and a private temporary directory removed at the end.
#ifndef TESTS_BRIX_BRIX_TEST_UTIL_H
#define TESTS_BRIX_BRIX_TEST_UTIL_H

#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <string>

#include "brix.h"
#include "brix_filespec.h"
#include "brix_index.h"
#include "brix_session.h"
#include "journal_text.h"

// Sets the program-wide values the tests touch back to their start-up
// defaults.
inline void resetBrixState() {
  brix_exit_code = 0;
  brix_option_flags = 0;
  brix_debug_level = 0;
  brix_function = BOP_CREATE;
  brix_filetype = BRIX_LOCAL_FILE;
  brix_verify_flags = 0;
  brix_logging_enabled = 0;
  brix_shutdown_signalled = 0;
  brix_max_files = 1000000;
  brix_iobufsize = 524288;
  brix_max_threads = 8;
  brix_archive_blocks = 0;
  brix_index_entries = 0;
  brix_annotation_size = 0;
  brix_config_opts.DisplayExcludedObjects = 1;
  if (!brix_zeroblock) brix_zeroblock = static_cast<unsigned char*>(calloc(1, 512));
  free(brix_input_list_name);
  brix_input_list_name = nullptr;
  brix_ResetFileList();
  brix_ExcludePopTo(nullptr);
}

struct TempDir {
  std::string path;
  TempDir() {
    const char* t = getenv("TMPDIR");
    std::string templ = std::string(t && *t ? t : "/tmp") + "/brixtest-XXXXXX";
    char buf[4096];
    strcpy(buf, templ.c_str());
    path = mkdtemp(buf) ? buf : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

#endif
