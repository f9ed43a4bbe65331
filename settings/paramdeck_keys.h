// The settings key catalogue: one row per key of the settings documents, in
// the declaration order of PARAMDECK's fields. It is the single source of
// truth for the reset, the defaults, the loader and the printer, and tools
// iterate it (to print the settings, lint documents, ...).
//
// To add a key: declare its field in PARAMDECK (settings/paramdeck.h) where
// it belongs, then add one row here at the same place with the factory of
// its type (text_key, integer_key, real_key, flag_key, ...) and, if it is
// not zero, its default. Nothing else: loading, reset and printing follow.
// A key that needs a rule beyond storing its value needs a PARAMDECK_RULE
// and code in the loader.
//
// To add a type of key: a PARAMDECK_KIND below, its row factory, and its
// entry in settings/paramdeck_types.cpp, the one place where each kind is
// reset, read, written as text and JSON, and described.
#ifndef ORVEX_SETTINGS_PARAMDECK_KEYS_H
#define ORVEX_SETTINGS_PARAMDECK_KEYS_H

#include <cstddef>
#include <iterator>
#include <string>

#include "settings/paramdeck.h"
#include "xml/load_listener.h"

// What a key sets and how its value is read.
enum class PARAMDECK_KIND : unsigned char {
  TEXT,             // char[256] field; parse_str (255 bytes kept)
  INTEGER,          // int field; parse_int
  REAL,             // double field; parse_double
  FLAG,             // bool field; parse_bool
  PATTERN_LIST,     // text compiled (REG_EXTENDED | REG_NOSUB), appended
  INTEGER_LIST,     // integer appended to a list
  HOURS,            // real, in hours; sets a field in seconds (int or double)
  PROJECT_CPU_CAP,  // integer; max_jobs_in_progress's project cpu_limit:
  PROJECT_GPU_CAP,  //   jobs = value, per_proc = true (gpu_limit likewise)
  JOB_LIMITS,       // the auxiliary document's block (limits/job_limits.h)
};

// What a key's value must look like, for checkers of documents.
enum class PARAMDECK_VALUE : unsigned char { TEXT, INTEGER, REAL, FLAG, BLOCK };

// Rules applied after a value is stored.
enum class PARAMDECK_RULE : unsigned char {
  NONE,
  // A value that is nonzero and at most 9999 is an old-style version
  // number: it is logged (KIND_CRITICAL) and multiplied by 100.
  CLIENT_VERSION,
  // A true value also appends a fixed pattern for AMD K6 processors to
  // ban_cpu.
  AMD_K6,
};

struct PARAMDECK_KEY {
  const char* name = nullptr;  // the element name
  PARAMDECK_KIND kind = PARAMDECK_KIND::TEXT;
  PARAMDECK_RULE rule = PARAMDECK_RULE::NONE;
  // Sets a field that another row owns (grace_period_hours, the caps): such
  // a row is not reset and not printed on its own.
  bool alias = false;
  // A password: tools show it only when asked to.
  bool secret = false;

  // The field, by the member pointer that matches `kind` (the others null).
  char (PARAMDECK::*text)[256] = nullptr;
  int PARAMDECK::*integer = nullptr;  // also HOURS into an int field
  double PARAMDECK::*real = nullptr;  // also HOURS into a double field
  bool PARAMDECK::*flag = nullptr;
  std::vector<regex_t>* PARAMDECK::*patterns = nullptr;
  std::vector<int> PARAMDECK::*integers = nullptr;
  JOB_LIMITS PARAMDECK::*limits = nullptr;

  // The value after a reset: text_default for TEXT, number_default for
  // INTEGER, REAL and FLAG (nonzero is true).
  const char* text_default = "";
  double number_default = 0;

  // Whether both rows set the same field (an alias and its owner).
  constexpr bool same_field(const PARAMDECK_KEY& o) const {
    return (text && text == o.text) || (integer && integer == o.integer) ||
           (real && real == o.real) || (flag && flag == o.flag) ||
           (patterns && patterns == o.patterns) ||
           (integers && integers == o.integers) ||
           (limits && limits == o.limits);
  }

  // True for the key of the auxiliary document.
  constexpr bool auxiliary() const {
    return kind == PARAMDECK_KIND::JOB_LIMITS;
  }

  // What its value must look like (its kind's, see PARAMDECK_TYPE).
  PARAMDECK_VALUE value() const;
};

// The row factories of the table.
namespace paramdeck_rows {
using P = PARAMDECK;

constexpr PARAMDECK_KEY text_key(const char* name, char (P::*f)[256],
                                 const char* def = "") {
  PARAMDECK_KEY k;
  k.name = name;
  k.text = f;
  k.text_default = def;
  return k;
}
constexpr PARAMDECK_KEY password_key(const char* name, char (P::*f)[256]) {
  PARAMDECK_KEY k = text_key(name, f);
  k.secret = true;
  return k;
}
constexpr PARAMDECK_KEY integer_key(
    const char* name, int P::*f, int def = 0,
    PARAMDECK_RULE rule = PARAMDECK_RULE::NONE) {
  PARAMDECK_KEY k;
  k.name = name;
  k.kind = PARAMDECK_KIND::INTEGER;
  k.integer = f;
  k.number_default = def;
  k.rule = rule;
  return k;
}
constexpr PARAMDECK_KEY real_key(const char* name, double P::*f,
                                 double def = 0) {
  PARAMDECK_KEY k;
  k.name = name;
  k.kind = PARAMDECK_KIND::REAL;
  k.real = f;
  k.number_default = def;
  return k;
}
constexpr PARAMDECK_KEY flag_key(const char* name, bool P::*f, bool def = false,
                                 PARAMDECK_RULE rule = PARAMDECK_RULE::NONE) {
  PARAMDECK_KEY k;
  k.name = name;
  k.kind = PARAMDECK_KIND::FLAG;
  k.flag = f;
  k.number_default = def;
  k.rule = rule;
  return k;
}
constexpr PARAMDECK_KEY pattern_list_key(const char* name,
                                         std::vector<regex_t>* P::*f) {
  PARAMDECK_KEY k;
  k.name = name;
  k.kind = PARAMDECK_KIND::PATTERN_LIST;
  k.patterns = f;
  return k;
}
constexpr PARAMDECK_KEY integer_list_key(const char* name,
                                         std::vector<int> P::*f) {
  PARAMDECK_KEY k;
  k.name = name;
  k.kind = PARAMDECK_KIND::INTEGER_LIST;
  k.integers = f;
  return k;
}
// Hours into a seconds field of its own.
constexpr PARAMDECK_KEY hours_key(const char* name, double P::*f) {
  PARAMDECK_KEY k;
  k.name = name;
  k.kind = PARAMDECK_KIND::HOURS;
  k.real = f;
  return k;
}
// Hours into an integer seconds field owned by another row (truncated).
constexpr PARAMDECK_KEY hours_alias_key(const char* name, int P::*f) {
  PARAMDECK_KEY k;
  k.name = name;
  k.kind = PARAMDECK_KIND::HOURS;
  k.integer = f;
  k.alias = true;
  return k;
}
constexpr PARAMDECK_KEY job_limits_key(const char* name, JOB_LIMITS P::*f) {
  PARAMDECK_KEY k;
  k.name = name;
  k.kind = PARAMDECK_KIND::JOB_LIMITS;
  k.limits = f;
  return k;
}
constexpr PARAMDECK_KEY job_cap_key(const char* name, PARAMDECK_KIND kind) {
  PARAMDECK_KEY k;
  k.name = name;
  k.kind = kind;
  k.limits = &P::max_jobs_in_progress;
  k.alias = true;
  return k;
}

// clang-format off
inline constexpr PARAMDECK_KEY PARAMDECK_KEYS[] = {
    text_key("master_url", &P::master_url),
    text_key("long_name", &P::long_name),
    text_key("db_name", &P::db_name),
    text_key("db_user", &P::db_user),
    password_key("db_passwd", &P::db_passwd),
    text_key("db_host", &P::db_host),
    text_key("replica_db_name", &P::replica_db_name),
    text_key("replica_db_user", &P::replica_db_user),
    password_key("replica_db_passwd", &P::replica_db_passwd),
    text_key("replica_db_host", &P::replica_db_host),
    text_key("trigmem_db_name", &P::trigmem_db_name),
    text_key("trigmem_db_user", &P::trigmem_db_user),
    password_key("trigmem_db_passwd", &P::trigmem_db_passwd),
    text_key("trigmem_db_host", &P::trigmem_db_host),
    integer_key("trigmem_db_port", &P::trigmem_db_port),
    integer_key("shmem_key", &P::shmem_key),
    text_key("project_dir", &P::project_dir),
    text_key("key_dir", &P::key_dir),
    text_key("download_url", &P::download_url),
    text_key("download_dir", &P::download_dir),
    text_key("upload_url", &P::upload_url),
    text_key("upload_dir", &P::upload_dir),
    integer_key("report_grace_period", &P::report_grace_period),
    hours_alias_key("grace_period_hours", &P::report_grace_period),
    hours_key("delete_delay_hours", &P::delete_delay),
    flag_key("msg_to_host", &P::msg_to_host),
    flag_key("non_cpu_intensive", &P::non_cpu_intensive),
    flag_key("verify_files_on_app_start", &P::verify_files_on_app_start),
    integer_key("homogeneous_redundancy", &P::homogeneous_redundancy),
    flag_key("hr_allocate_slots", &P::hr_allocate_slots),
    flag_key("ignore_upload_certificates", &P::ignore_upload_certificates),
    flag_key("dont_generate_upload_certificates", &P::dont_generate_upload_certificates),
    integer_key("uldl_dir_fanout", &P::uldl_dir_fanout),
    flag_key("cache_md5_info", &P::cache_md5_info),
    integer_key("fuh_debug_level", &P::fuh_debug_level, 2),
    integer_key("reliable_priority_on_over", &P::reliable_priority_on_over),
    integer_key("reliable_priority_on_over_except_error", &P::reliable_priority_on_over_except_error),
    integer_key("reliable_on_priority", &P::reliable_on_priority),
    flag_key("distinct_beta_apps", &P::distinct_beta_apps),
    flag_key("ended", &P::ended),
    integer_key("shmem_work_items", &P::shmem_work_items),
    integer_key("feeder_query_size", &P::feeder_query_size),
    text_key("httpd_user", &P::httpd_user, "apache"),
    flag_key("enable_assignment", &P::enable_assignment),
    flag_key("enable_vda", &P::enable_vda),
    real_key("vda_host_timeout", &P::vda_host_timeout),
    flag_key("enable_assignment_multi", &P::enable_assignment_multi),
    flag_key("job_size_matching", &P::job_size_matching),
    flag_key("dont_send_jobs", &P::dont_send_jobs),
    pattern_list_key("ban_cpu", &P::ban_cpu),
    pattern_list_key("ban_os", &P::ban_os),
    integer_key("daily_result_quota", &P::daily_result_quota),
    text_key("debug_req_reply_dir", &P::debug_req_reply_dir),
    real_key("default_disk_max_used_gb", &P::default_disk_max_used_gb, 100.0),
    real_key("default_disk_max_used_pct", &P::default_disk_max_used_pct, 50.0),
    real_key("default_disk_min_free_gb", &P::default_disk_min_free_gb, 0.001),
    integer_list_key("dont_search_host_for_user", &P::dont_search_host_for_user),
    flag_key("dont_store_success_stderr", &P::dont_store_success_stderr),
    integer_key("file_deletion_strategy", &P::file_deletion_strategy),
    integer_key("gpu_multiplier", &P::gpu_multiplier),
    flag_key("ignore_delay_bound", &P::ignore_delay_bound),
    flag_key("locality_scheduling", &P::locality_scheduling),
    real_key("locality_scheduler_fraction", &P::locality_scheduler_fraction),
    flag_key("locality_scheduling_sorted_order", &P::locality_scheduling_sorted_order),
    integer_key("locality_scheduling_wait_period", &P::locality_scheduling_wait_period),
    integer_key("locality_scheduling_send_timeout", &P::locality_scheduling_send_timeout),
    pattern_list_key("locality_scheduling_workunit_file", &P::locality_scheduling_workunit_file),
    pattern_list_key("locality_scheduling_sticky_file", &P::locality_scheduling_sticky_file),
    flag_key("matchmaker", &P::matchmaker),
    integer_key("max_download_urls_per_file", &P::max_download_urls_per_file),
    integer_key("max_ncpus", &P::max_ncpus, 64),
    job_limits_key("max_jobs_in_progress", &P::max_jobs_in_progress),
    job_cap_key("max_wus_in_progress", PARAMDECK_KIND::PROJECT_CPU_CAP),
    job_cap_key("max_wus_in_progress_gpu", PARAMDECK_KIND::PROJECT_GPU_CAP),
    integer_key("max_results_accepted", &P::max_results_accepted),
    integer_key("max_wus_to_send", &P::max_wus_to_send, 10),
    integer_key("min_core_client_version", &P::min_core_client_version, 0, PARAMDECK_RULE::CLIENT_VERSION),
    integer_key("min_core_client_version_announced", &P::min_core_client_version_announced, 0, PARAMDECK_RULE::CLIENT_VERSION),
    integer_key("min_core_client_upgrade_deadline", &P::min_core_client_upgrade_deadline),
    integer_key("min_sendwork_interval", &P::min_sendwork_interval),
    integer_key("mm_min_slots", &P::mm_min_slots),
    integer_key("mm_max_slots", &P::mm_max_slots),
    real_key("next_rpc_delay", &P::next_rpc_delay),
    flag_key("no_amd_k6", &P::no_amd_k6, false, PARAMDECK_RULE::AMD_K6),
    flag_key("no_vista_sandbox", &P::no_vista_sandbox),
    flag_key("nowork_skip", &P::nowork_skip),
    flag_key("one_result_per_host_per_wu", &P::one_result_per_host_per_wu),
    flag_key("one_result_per_user_per_wu", &P::one_result_per_user_per_wu),
    integer_key("reliable_max_avg_turnaround", &P::reliable_max_avg_turnaround),
    real_key("reliable_max_error_rate", &P::reliable_max_error_rate),
    real_key("reliable_reduced_delay_bound", &P::reliable_reduced_delay_bound),
    text_key("replace_download_url_by_timezone", &P::replace_download_url_by_timezone),
    flag_key("prefer_primary_platform", &P::prefer_primary_platform),
    real_key("version_select_random_factor", &P::version_select_random_factor, 0.1),
    integer_key("report_max", &P::report_max),
    flag_key("request_time_stats_log", &P::request_time_stats_log),
    flag_key("resend_lost_results", &P::resend_lost_results),
    integer_key("sched_debug_level", &P::sched_debug_level, 2),
    integer_key("scheduler_log_buffer", &P::scheduler_log_buffer, 32768),
    text_key("sched_lockfile_dir", &P::sched_lockfile_dir),
    flag_key("send_result_abort", &P::send_result_abort),
    text_key("symstore", &P::symstore),
    flag_key("user_filter", &P::user_filter),
    flag_key("workload_sim", &P::workload_sim),
    flag_key("debug_array", &P::debug_array),
    flag_key("debug_array_detail", &P::debug_array_detail),
    flag_key("debug_assignment", &P::debug_assignment),
    flag_key("debug_credit", &P::debug_credit),
    flag_key("debug_edf_sim_detail", &P::debug_edf_sim_detail),
    flag_key("debug_edf_sim_workload", &P::debug_edf_sim_workload),
    flag_key("debug_fcgi", &P::debug_fcgi),
    flag_key("debug_handle_results", &P::debug_handle_results),
    flag_key("debug_locality", &P::debug_locality),
    flag_key("debug_locality_lite", &P::debug_locality_lite),
    flag_key("debug_prefs", &P::debug_prefs),
    flag_key("debug_quota", &P::debug_quota),
    flag_key("debug_request_details", &P::debug_request_details),
    flag_key("debug_request_headers", &P::debug_request_headers),
    flag_key("debug_resend", &P::debug_resend),
    flag_key("debug_send", &P::debug_send),
    flag_key("debug_user_messages", &P::debug_user_messages),
    flag_key("debug_vda", &P::debug_vda),
    flag_key("debug_version_select", &P::debug_version_select),
};
// clang-format on
}  // namespace paramdeck_rows

using paramdeck_rows::PARAMDECK_KEYS;

inline constexpr size_t PARAMDECK_KEY_COUNT = std::size(PARAMDECK_KEYS);

// The row of the key `name`, or null.
const PARAMDECK_KEY* paramdeck_find_key(const char* name);

// What each kind of key does (settings/paramdeck_types.cpp).
struct PARAMDECK_TYPE {
  PARAMDECK_KIND kind;
  PARAMDECK_VALUE value;
  const char* description;  // for the reference table: "integer", ...
  // Appends rather than replaces: every element of the key counts.
  bool repeatable;
  // The field of a row that owns one, to its state before a load.
  void (*reset)(PARAMDECK& c, const PARAMDECK_KEY& k);
  // Reads the element of k that is the current item into c; listener (may
  // be null) hears how it went. False: the main document does not take
  // this key (the loader passes it over).
  bool (*read)(PARAMDECK& c, XML_PARSER& xp, const PARAMDECK_KEY& k,
               LOAD_LISTENER* listener);
  // The value on one line: a list's entries separated by spaces; texts as
  // they are, flags 1 or 0, reals that read back to the same number, hours
  // as hours, patterns in double quotes (quoted_text), job limits as
  // "project(total=J cpu=J gpu=J)" and one "name(...)" per application.
  std::string (*text)(const PARAMDECK& c, const PARAMDECK_KEY& k);
  // The value as JSON, laid out as a member of an object indented by four.
  std::string (*json)(const PARAMDECK& c, const PARAMDECK_KEY& k);
  // The default for the reference table ("" when it is zero or empty), and
  // what the kind does besides storing the value ("" when nothing).
  std::string (*default_text)(const PARAMDECK_KEY& k);
  const char* (*note)(const PARAMDECK_KEY& k);
};
extern const PARAMDECK_TYPE* const PARAMDECK_TYPES[];  // by kind
inline const PARAMDECK_TYPE& paramdeck_type(PARAMDECK_KIND kind) {
  return *PARAMDECK_TYPES[static_cast<int>(kind)];
}
inline PARAMDECK_VALUE PARAMDECK_KEY::value() const {
  return paramdeck_type(kind).value;
}

// The pattern no_amd_k6 adds to ban_cpu: processors that report themselves
// like this. A constant of the library, judged by the pattern guard in the
// tests rather than at every load (add_pattern knows it by its address).
extern const char* const PARAMDECK_AMD_K6_PATTERN;

// A job cap as the text of PARAMDECK_TYPE does: "J", "J/proc" per processor.
std::string paramdeck_cap_text(const RSC_JOB_LIMIT& cap);

namespace paramdeck_keys_check {
constexpr bool same_name(const char* a, const char* b) {
  while (*a && *a == *b) a++, b++;
  return *a == *b;
}
constexpr bool names_unique() {
  for (size_t i = 0; i < PARAMDECK_KEY_COUNT; i++) {
    for (size_t j = i + 1; j < PARAMDECK_KEY_COUNT; j++) {
      if (same_name(PARAMDECK_KEYS[i].name, PARAMDECK_KEYS[j].name)) {
        return false;
      }
    }
  }
  return true;
}
}  // namespace paramdeck_keys_check

// Each key has its own name, so the order of trying them cannot matter.
static_assert(paramdeck_keys_check::names_unique(), "a key is listed twice");
// 122 keys of the main document and 1 of the auxiliary one.
static_assert(PARAMDECK_KEY_COUNT == 123, "keys added or lost");

#endif
