// The project's settings record. Every server program loads the settings
// once, at start, with config.parse_file(), and then reads them from the
// global `config`:
//   - "config.xml" in the project directory: <orvex><config> holding one
//     element per key (settings/paramdeck_keys.h lists them all);
//   - "config_aux.xml", optional: <config><max_jobs_in_progress> in the job
//     limit format of limits/job_limits.h.
// The record also finds the project directory and builds paths in it.
//
// Loading is for the program's one thread, before anything reads the record;
// nothing here is locked and project_path() is not re-entrant.
#ifndef ORVEX_SETTINGS_PARAMDECK_H
#define ORVEX_SETTINGS_PARAMDECK_H

#include <regex.h>

#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "limits/job_limits.h"
#include "settings/pattern_guard.h"

// Names of the two settings files in the project directory.
extern const char* CONFIG_FILE;      // "config.xml"
extern const char* CONFIG_FILE_AUX;  // "config_aux.xml"

// Size of project_path()'s shared buffer, and the size callers of
// download_path() and upload_path() give (see daemon/dir_hier.h).
constexpr int PROJECT_PATH_LEN = 4096;

class PARAMDECK {
 public:
  // The fields, each named after the key that sets it, in catalogue order
  // (settings/paramdeck_keys.h has the keys, types and defaults). Texts hold
  // at most 255 bytes. Exceptions to the naming: delete_delay (seconds) is
  // set by delete_delay_hours; report_grace_period (seconds) also by
  // grace_period_hours; max_jobs_in_progress comes from the auxiliary file
  // and from max_wus_in_progress and max_wus_in_progress_gpu. The pattern
  // lists are null until the first parse() and owned by the record.
  char master_url[256] = {};
  char long_name[256] = {};
  char db_name[256] = {};
  char db_user[256] = {};
  char db_passwd[256] = {};
  char db_host[256] = {};
  char replica_db_name[256] = {};
  char replica_db_user[256] = {};
  char replica_db_passwd[256] = {};
  char replica_db_host[256] = {};
  char trigmem_db_name[256] = {};
  char trigmem_db_user[256] = {};
  char trigmem_db_passwd[256] = {};
  char trigmem_db_host[256] = {};
  int trigmem_db_port = 0;
  int shmem_key = 0;
  char project_dir[256] = {};
  char key_dir[256] = {};
  char download_url[256] = {};
  char download_dir[256] = {};
  char upload_url[256] = {};
  char upload_dir[256] = {};
  int report_grace_period = 0;
  double delete_delay = 0;
  bool msg_to_host = false;
  bool non_cpu_intensive = false;
  bool verify_files_on_app_start = false;
  int homogeneous_redundancy = 0;
  bool hr_allocate_slots = false;
  bool ignore_upload_certificates = false;
  bool dont_generate_upload_certificates = false;
  int uldl_dir_fanout = 0;
  bool cache_md5_info = false;
  int fuh_debug_level = 0;
  int reliable_priority_on_over = 0;
  int reliable_priority_on_over_except_error = 0;
  int reliable_on_priority = 0;
  bool distinct_beta_apps = false;
  bool ended = false;
  int shmem_work_items = 0;
  int feeder_query_size = 0;
  char httpd_user[256] = {};
  bool enable_assignment = false;
  bool enable_vda = false;
  double vda_host_timeout = 0;
  bool enable_assignment_multi = false;
  bool job_size_matching = false;
  bool dont_send_jobs = false;
  std::vector<regex_t>* ban_cpu = nullptr;
  std::vector<regex_t>* ban_os = nullptr;
  int daily_result_quota = 0;
  char debug_req_reply_dir[256] = {};
  double default_disk_max_used_gb = 0;
  double default_disk_max_used_pct = 0;
  double default_disk_min_free_gb = 0;
  std::vector<int> dont_search_host_for_user;
  bool dont_store_success_stderr = false;
  int file_deletion_strategy = 0;
  int gpu_multiplier = 0;
  bool ignore_delay_bound = false;
  bool locality_scheduling = false;
  double locality_scheduler_fraction = 0;
  bool locality_scheduling_sorted_order = false;
  int locality_scheduling_wait_period = 0;
  int locality_scheduling_send_timeout = 0;
  std::vector<regex_t>* locality_scheduling_workunit_file = nullptr;
  std::vector<regex_t>* locality_scheduling_sticky_file = nullptr;
  bool matchmaker = false;
  int max_download_urls_per_file = 0;
  int max_ncpus = 0;
  JOB_LIMITS max_jobs_in_progress;
  int max_results_accepted = 0;
  int max_wus_to_send = 0;
  int min_core_client_version = 0;
  int min_core_client_version_announced = 0;
  int min_core_client_upgrade_deadline = 0;
  int min_sendwork_interval = 0;
  int mm_min_slots = 0;
  int mm_max_slots = 0;
  double next_rpc_delay = 0;
  bool no_amd_k6 = false;
  bool no_vista_sandbox = false;
  bool nowork_skip = false;
  bool one_result_per_host_per_wu = false;
  bool one_result_per_user_per_wu = false;
  int reliable_max_avg_turnaround = 0;
  double reliable_max_error_rate = 0;
  double reliable_reduced_delay_bound = 0;
  char replace_download_url_by_timezone[256] = {};
  bool prefer_primary_platform = false;
  double version_select_random_factor = 0;
  int report_max = 0;
  bool request_time_stats_log = false;
  bool resend_lost_results = false;
  int sched_debug_level = 0;
  int scheduler_log_buffer = 0;
  char sched_lockfile_dir[256] = {};
  bool send_result_abort = false;
  char symstore[256] = {};
  bool user_filter = false;
  bool workload_sim = false;
  bool debug_array = false;
  bool debug_array_detail = false;
  bool debug_assignment = false;
  bool debug_credit = false;
  bool debug_edf_sim_detail = false;
  bool debug_edf_sim_workload = false;
  bool debug_fcgi = false;
  bool debug_handle_results = false;
  bool debug_locality = false;
  bool debug_locality_lite = false;
  bool debug_prefs = false;
  bool debug_quota = false;
  bool debug_request_details = false;
  bool debug_request_headers = false;
  bool debug_resend = false;
  bool debug_send = false;
  bool debug_user_messages = false;
  bool debug_vda = false;
  bool debug_version_select = false;

  // Everything zero, false, empty or null until the first parse().
  PARAMDECK() = default;
  // Releases the pattern lists and their compiled patterns.
  ~PARAMDECK();
  // The record owns its pattern lists; copies would free them twice.
  PARAMDECK(const PARAMDECK&) = delete;
  PARAMDECK& operator=(const PARAMDECK&) = delete;

  // Loads "config.xml" and then, when it can be opened, "config_aux.xml"
  // from `dir`, or, when dir is null or empty, from the project directory
  // that project_path() finds (the process exits when there is none).
  // 0; ERR_FILE_OPEN when the main file cannot be opened (also when its
  // path would not fit in PROJECT_PATH_LEN bytes: a cut path names another
  // file); or the nonzero result of parse() or parse_aux().
  int parse_file(const char* dir = nullptr);

  // Reads the main document from f (not closed). Always resets the record to
  // its defaults first, releasing the patterns of an earlier load. 0 at the
  // closing tag of <config>, after the closing rules (PARAMDECK_CLOSING_RULES
  // in settings/paramdeck_keys.h): db_host equal to the local host name
  // becomes "localhost", and each empty replica_db_* takes its db_* value.
  // ERR_XML_INPUT when <orvex> or <config> is missing or the document ends
  // first; keys read so far stay set, no closing rule runs.
  // Text between tags is reported on standard error; unknown elements are
  // passed over; values that do not convert leave their field unchanged; a
  // pattern that does not compile is logged (KIND_CRITICAL) and dropped.
  // listener, when not null, hears each of these items with its line (see
  // xml/load_listener.h): each key element (stored, with the reason of its
  // row's rule when the value cannot work; not converted; pattern refused),
  // unknown tags, stray text, a missing start, each element the end of
  // input leaves open, and each closing rule that changed a value.
  int parse(FILE* f, LOAD_LISTENER* listener = nullptr);

  // Reads the auxiliary document from f (not closed) without resetting:
  // <max_jobs_in_progress> blocks fill max_jobs_in_progress; other tags are
  // passed by one item at a time. 0 at </config>; ERR_XML_INPUT when
  // <config> is missing or the document ends first. listener as for
  // parse(); each <max_jobs_in_progress> is heard as STORED at its tag.
  int parse_aux(FILE* f, LOAD_LISTENER* listener = nullptr);

  // The path "<project_dir>/<fmt formatted>" in one static buffer of
  // PROJECT_PATH_LEN bytes, which the next call overwrites; a longer result
  // is cut. When project_dir is empty it is found first: ORVEX_PROJECT_DIR
  // when set (an empty value counts), else "." or "..", whichever holds a
  // regular file "config.xml" and a directory "cgi-bin". Exits the process
  // with status 1 and a message on standard error when there is none.
  const char* project_path(const char* fmt, ...)
      __attribute__((format(printf, 2, 3)));

  // The path of `name` in the download (upload) tree into `path` (at least
  // PROJECT_PATH_LEN bytes), creating its bucket directory when missing.
  // 0, or ERR_DIR_CREATE as dir_hier_path() reports it.
  int download_path(const char* name, char* path);
  int upload_path(const char* name, char* path);

  // Writes the effective settings to `out`, one line per catalogue row that
  // owns a field, in catalogue order: the key, then a space and the value
  // when it is not empty. Flags print as 1 or 0, reals so that they read
  // back to the same number, delete_delay in hours (as its key gives it),
  // the integer list as its numbers separated by spaces, a pattern list as
  // its source texts, each in double quotes with \" \\ \t \n \xNN escapes,
  // and max_jobs_in_progress as "project(total=J cpu=J gpu=J)" followed by
  // one "name(...)" per application, with "/proc" after a per-processor cap.
  void print(FILE* out) const;

  // The source texts of the patterns of `list` (one of the four pattern-list
  // fields, e.g. &PARAMDECK::ban_cpu), in list order; empty for any other.
  const std::vector<std::string>& pattern_texts(
      std::vector<regex_t>* PARAMDECK::*list) const;

  // Compiles `pattern` (REG_EXTENDED | REG_NOSUB, in the C locale) and
  // appends it to `list`. 0 when appended; otherwise nothing is appended and
  // the result is paramdeck_compile_pattern's: REG_ESPACE for a pattern the
  // guard refuses though regcomp would take it, else regcomp's own error,
  // with *why (when why is not null) the guard's reason in words, or null
  // when regcomp alone refused it (regerror has the words). REG_ESPACE for a
  // field that is not a pattern list. Used by the loader; a pattern of the
  // same text compiled by the previous load is reused (found in constant
  // time) rather than compiled again. The library's own no_amd_k6 pattern
  // (that very constant) skips the guard.
  int add_pattern(std::vector<regex_t>* PARAMDECK::*list, const char* pattern,
                  const char** why = nullptr);

 private:
  static constexpr int PATTERN_LIST_COUNT = 4;

  // Every field to zero, false, empty or a new empty list, then the
  // catalogue's defaults. The old lists' patterns become spares.
  void reset();
  void free_pattern_lists();
  void free_spare_patterns();
  // PARAMDECK_CLOSING_RULES; listener (may be null) hears each that
  // changed a value, at the line of </config>.
  void apply_closing_rules(LOAD_LISTENER* listener, int line);

  // The source text of each compiled pattern, list by list in catalogue
  // order. Compiling a pattern costs more than reading all the rest of a
  // settings document, so a reload takes its patterns from the previous
  // load (the spares, by text, a text given twice compiled twice) when the
  // text is the same, and frees the rest when it is done.
  std::vector<std::string> pattern_sources[PATTERN_LIST_COUNT];
  std::unordered_map<std::string, std::vector<regex_t>> spare_patterns;
};

// Whether dir is a project directory: it holds a regular file "config.xml"
// and a directory "cgi-bin", both after following symbolic links. The rule
// project_path() searches by, for tools that must refuse what no server
// program would take as a project. False for a name too long to test.
bool is_project_dir(const char* dir);

// The one settings record of the process.
extern PARAMDECK config;

#endif
