// The settings key catalogue: one row per key of the settings documents, in
// the declaration order of PARAMDECK's fields. It is the single source of
// truth for the reset, the defaults, the loader and the printer, and tools
// iterate it (to print the settings, lint documents, ...).
//
// To add a key: declare its field in PARAMDECK (settings/paramdeck.h) where
// it belongs, then add one row here at the same place with the factory of
// its type (text_key, integer_key, real_key, flag_key, ...), its description
// and, if it is not zero, its default. Nothing else: loading, reset,
// printing and the reference table follow. A value that cannot work where
// it is used gets a rule (.checked(...)), which check runs; a key that needs
// more than storing its value needs a PARAMDECK_RULE and code in the loader.
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
  // What the key does, for the reference table and config --describe: its
  // meaning, unit and what 0 or empty means. The notes of its kind, rule
  // and closing rules are added to it (paramdeck_key_notes).
  const char* description = "";
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

  // A rule the stored value must keep to work where it is used: int_rule
  // for integer rows and the caps, text_rule for texts; null for none. The
  // loader stores the value whatever the rule says (programs always took
  // it) and tells a listener why it cannot work.
  LOAD_RULE<int> int_rule = nullptr;
  LOAD_RULE<const char*> text_rule = nullptr;
  constexpr PARAMDECK_KEY checked(LOAD_RULE<int> rule) const {
    PARAMDECK_KEY k = *this;
    k.int_rule = rule;
    return k;
  }
  constexpr PARAMDECK_KEY checked(LOAD_RULE<const char*> rule) const {
    PARAMDECK_KEY k = *this;
    k.text_rule = rule;
    return k;
  }

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

// The rules of the rows (settings/paramdeck_rules.cpp): null when the value
// works where it is used, else why not, in an operator's words.
const char* paramdeck_count_rule(const int& value);  // not negative
const char* paramdeck_size_rule(const int& value);   // not negative
const char* paramdeck_jobs_rule(const int& value);   // not negative
const char* paramdeck_fanout_rule(const int& value);
// A server list as DB_CONN::open reads it (split_db_hosts).
const char* paramdeck_server_list_rule(const char* const& value);

// The row factories of the table.
namespace paramdeck_rows {
using P = PARAMDECK;

constexpr PARAMDECK_KEY text_key(const char* name, char (P::*f)[256],
                                 const char* about, const char* def = "") {
  PARAMDECK_KEY k;
  k.name = name;
  k.description = about;
  k.text = f;
  k.text_default = def;
  return k;
}
constexpr PARAMDECK_KEY password_key(const char* name, char (P::*f)[256],
                                     const char* about) {
  PARAMDECK_KEY k = text_key(name, f, about);
  k.secret = true;
  return k;
}
constexpr PARAMDECK_KEY integer_key(
    const char* name, int P::*f, const char* about, int def = 0,
    PARAMDECK_RULE rule = PARAMDECK_RULE::NONE) {
  PARAMDECK_KEY k;
  k.name = name;
  k.description = about;
  k.kind = PARAMDECK_KIND::INTEGER;
  k.integer = f;
  k.number_default = def;
  k.rule = rule;
  return k;
}
constexpr PARAMDECK_KEY real_key(const char* name, double P::*f,
                                 const char* about, double def = 0) {
  PARAMDECK_KEY k;
  k.name = name;
  k.description = about;
  k.kind = PARAMDECK_KIND::REAL;
  k.real = f;
  k.number_default = def;
  return k;
}
constexpr PARAMDECK_KEY flag_key(const char* name, bool P::*f,
                                 const char* about, bool def = false,
                                 PARAMDECK_RULE rule = PARAMDECK_RULE::NONE) {
  PARAMDECK_KEY k;
  k.name = name;
  k.description = about;
  k.kind = PARAMDECK_KIND::FLAG;
  k.flag = f;
  k.number_default = def;
  k.rule = rule;
  return k;
}
constexpr PARAMDECK_KEY pattern_list_key(const char* name,
                                         std::vector<regex_t>* P::*f,
                                         const char* about) {
  PARAMDECK_KEY k;
  k.name = name;
  k.description = about;
  k.kind = PARAMDECK_KIND::PATTERN_LIST;
  k.patterns = f;
  return k;
}
constexpr PARAMDECK_KEY integer_list_key(const char* name,
                                         std::vector<int> P::*f,
                                         const char* about) {
  PARAMDECK_KEY k;
  k.name = name;
  k.description = about;
  k.kind = PARAMDECK_KIND::INTEGER_LIST;
  k.integers = f;
  return k;
}
// Hours into a seconds field of its own.
constexpr PARAMDECK_KEY hours_key(const char* name, double P::*f,
                                  const char* about) {
  PARAMDECK_KEY k;
  k.name = name;
  k.description = about;
  k.kind = PARAMDECK_KIND::HOURS;
  k.real = f;
  return k;
}
// Hours into an integer seconds field owned by another row (truncated).
constexpr PARAMDECK_KEY hours_alias_key(const char* name, int P::*f,
                                        const char* about) {
  PARAMDECK_KEY k;
  k.name = name;
  k.description = about;
  k.kind = PARAMDECK_KIND::HOURS;
  k.integer = f;
  k.alias = true;
  return k;
}
constexpr PARAMDECK_KEY job_limits_key(const char* name, JOB_LIMITS P::*f,
                                       const char* about) {
  PARAMDECK_KEY k;
  k.name = name;
  k.description = about;
  k.kind = PARAMDECK_KIND::JOB_LIMITS;
  k.limits = f;
  return k;
}
constexpr PARAMDECK_KEY job_cap_key(const char* name, PARAMDECK_KIND kind,
                                    const char* about) {
  PARAMDECK_KEY k;
  k.name = name;
  k.description = about;
  k.kind = kind;
  k.limits = &P::max_jobs_in_progress;
  k.alias = true;
  return k;
}

// Said of every key that this library only loads.
#define UNUSED "Not used by this library; kept for programs that read it."
// clang-format off
inline constexpr PARAMDECK_KEY PARAMDECK_KEYS[] = {
    text_key("master_url", &P::master_url, "The project's master URL. " UNUSED),
    text_key("long_name", &P::long_name, "The project's long name. " UNUSED),
    text_key("db_name", &P::db_name,
             "Name of the project database, which the programs open with db_user, db_passwd and db_host; orvex-admin db refuses to run when it is empty."),
    text_key("db_user", &P::db_user, "User name for the project database."),
    password_key("db_passwd", &P::db_passwd,
                 "Password of db_user; orvex-admin shows it masked unless given --show-secrets."),
    text_key("db_host", &P::db_host,
             "Server of the project database, host or host:port, or a list host1:3306,host2 that the connection tries in order (blanks around each dropped). An empty item, a port above 65535 or a negative one is refused when the connection opens, and by orvex-admin check. Empty: the client library's default host.")
        .checked(paramdeck_server_list_rule),
    text_key("replica_db_name", &P::replica_db_name,
             "Database name on a read replica. The sample daemon reads from the replica, and orvex-admin db ping checks it, when replica_db_host or replica_db_name differ from the main database's."),
    text_key("replica_db_user", &P::replica_db_user, "User name on the read replica."),
    password_key("replica_db_passwd", &P::replica_db_passwd,
                 "Password on the read replica; shown masked unless --show-secrets."),
    text_key("replica_db_host", &P::replica_db_host,
             "Server of the read replica, one or a list as db_host (the same rules).")
        .checked(paramdeck_server_list_rule),
    text_key("trigmem_db_name", &P::trigmem_db_name,
             "Name of a second database, called trigmem; it takes no defaults from the db_ keys. " UNUSED),
    text_key("trigmem_db_user", &P::trigmem_db_user, "User name of the trigmem database. " UNUSED),
    password_key("trigmem_db_passwd", &P::trigmem_db_passwd, "Password of the trigmem database. " UNUSED),
    text_key("trigmem_db_host", &P::trigmem_db_host, "Host of the trigmem database. " UNUSED),
    integer_key("trigmem_db_port", &P::trigmem_db_port, "Port of the trigmem database. " UNUSED),
    integer_key("shmem_key", &P::shmem_key, "Key of the shared-memory segment. " UNUSED),
    text_key("project_dir", &P::project_dir,
             "The project directory, in which every program builds its paths (trigger files, pid files, the log directories). Empty: found at first use from ORVEX_PROJECT_DIR, else \".\" or \"..\", whichever holds config.xml and cgi-bin."),
    text_key("key_dir", &P::key_dir, "Directory of the project's keys. " UNUSED),
    text_key("download_url", &P::download_url,
             "URL of the download tree: orvex-admin url download gives a file's URL under it, in the same bucket as its path."),
    text_key("download_dir", &P::download_dir,
             "Directory of the download tree, the root of download_path and orvex-admin path download: a file lives in download_dir/bucket/name (see uldl_dir_fanout). Empty: orvex-admin refuses, and download_path gives a path relative to the current directory."),
    text_key("upload_url", &P::upload_url,
             "URL of the upload tree: orvex-admin url upload gives a file's URL under it, in the same bucket as its path."),
    text_key("upload_dir", &P::upload_dir,
             "Directory of the upload tree, the root of upload_path and orvex-admin path upload, laid out as the download tree. Empty: orvex-admin refuses, and upload_path gives a path relative to the current directory."),
    integer_key("report_grace_period", &P::report_grace_period,
                "A grace period for reports, in seconds; grace_period_hours sets it in hours, and the later of the two in the document counts. " UNUSED),
    hours_alias_key("grace_period_hours", &P::report_grace_period,
                    "The grace period for reports in hours, cut to whole seconds."),
    hours_key("delete_delay_hours", &P::delete_delay,
              "A deletion delay in hours; orvex-admin config shows it in hours. " UNUSED),
    flag_key("msg_to_host", &P::msg_to_host, UNUSED),
    flag_key("non_cpu_intensive", &P::non_cpu_intensive, UNUSED),
    flag_key("verify_files_on_app_start", &P::verify_files_on_app_start, UNUSED),
    integer_key("homogeneous_redundancy", &P::homogeneous_redundancy, "A level number. " UNUSED),
    flag_key("hr_allocate_slots", &P::hr_allocate_slots, UNUSED),
    flag_key("ignore_upload_certificates", &P::ignore_upload_certificates, UNUSED),
    flag_key("dont_generate_upload_certificates", &P::dont_generate_upload_certificates, UNUSED),
    integer_key("uldl_dir_fanout", &P::uldl_dir_fanout,
                "Number of hashed buckets (subdirectories) in each of the download and upload trees: a file lives in dir/bucket/name, the bucket (in hex) taken from the MD5 of its name, made on demand. 0: flat trees, dir/name. Changing it moves every file's place.")
        .checked(paramdeck_fanout_rule),
    flag_key("cache_md5_info", &P::cache_md5_info, UNUSED),
    integer_key("fuh_debug_level", &P::fuh_debug_level, "A debug level. " UNUSED, 2),
    integer_key("reliable_priority_on_over", &P::reliable_priority_on_over, UNUSED),
    integer_key("reliable_priority_on_over_except_error", &P::reliable_priority_on_over_except_error, UNUSED),
    integer_key("reliable_on_priority", &P::reliable_on_priority, UNUSED),
    flag_key("distinct_beta_apps", &P::distinct_beta_apps, UNUSED),
    flag_key("ended", &P::ended, UNUSED),
    integer_key("shmem_work_items", &P::shmem_work_items,
                "Number of work items kept in shared memory. " UNUSED)
        .checked(paramdeck_count_rule),
    integer_key("feeder_query_size", &P::feeder_query_size, "Size of the feeder's query. " UNUSED)
        .checked(paramdeck_size_rule),
    text_key("httpd_user", &P::httpd_user, "Account of the web server. " UNUSED, "apache"),
    flag_key("enable_assignment", &P::enable_assignment, UNUSED),
    flag_key("enable_vda", &P::enable_vda, UNUSED),
    real_key("vda_host_timeout", &P::vda_host_timeout, "A time-out. " UNUSED),
    flag_key("enable_assignment_multi", &P::enable_assignment_multi, UNUSED),
    flag_key("job_size_matching", &P::job_size_matching, UNUSED),
    flag_key("dont_send_jobs", &P::dont_send_jobs, UNUSED),
    pattern_list_key("ban_cpu", &P::ban_cpu,
                     "Patterns (POSIX extended regular expressions) that the programs reading the list match against hosts' CPU descriptions, to ban those hosts; each element adds one, in document order. The loader compiles each and drops, with a critical log line, one that does not compile or that the pattern guard refuses as too costly. An empty pattern matches every host."),
    pattern_list_key("ban_os", &P::ban_os,
                     "Patterns of the operating systems of hosts to ban, read and compiled as ban_cpu's. An empty pattern matches every host."),
    integer_key("daily_result_quota", &P::daily_result_quota, "A quota of results per day. " UNUSED)
        .checked(paramdeck_count_rule),
    text_key("debug_req_reply_dir", &P::debug_req_reply_dir, "A directory. " UNUSED),
    real_key("default_disk_max_used_gb", &P::default_disk_max_used_gb, "Gigabytes. " UNUSED, 100.0),
    real_key("default_disk_max_used_pct", &P::default_disk_max_used_pct, "Percent. " UNUSED, 50.0),
    real_key("default_disk_min_free_gb", &P::default_disk_min_free_gb, "Gigabytes. " UNUSED, 0.001),
    integer_list_key("dont_search_host_for_user", &P::dont_search_host_for_user,
                     "Integers, one per element, kept in document order. " UNUSED),
    flag_key("dont_store_success_stderr", &P::dont_store_success_stderr, UNUSED),
    integer_key("file_deletion_strategy", &P::file_deletion_strategy, UNUSED),
    integer_key("gpu_multiplier", &P::gpu_multiplier, UNUSED),
    flag_key("ignore_delay_bound", &P::ignore_delay_bound, UNUSED),
    flag_key("locality_scheduling", &P::locality_scheduling, UNUSED),
    real_key("locality_scheduler_fraction", &P::locality_scheduler_fraction, UNUSED),
    flag_key("locality_scheduling_sorted_order", &P::locality_scheduling_sorted_order, UNUSED),
    integer_key("locality_scheduling_wait_period", &P::locality_scheduling_wait_period, UNUSED),
    integer_key("locality_scheduling_send_timeout", &P::locality_scheduling_send_timeout, UNUSED),
    pattern_list_key("locality_scheduling_workunit_file", &P::locality_scheduling_workunit_file,
                     "Patterns of the file names that locality scheduling sends, read and compiled as ban_cpu's; the list is kept for the programs that read it. An empty pattern matches every name."),
    pattern_list_key("locality_scheduling_sticky_file", &P::locality_scheduling_sticky_file,
                     "Patterns of the file names kept on hosts, read and compiled as ban_cpu's; the list is kept for the programs that read it. An empty pattern matches every name."),
    flag_key("matchmaker", &P::matchmaker, UNUSED),
    integer_key("max_download_urls_per_file", &P::max_download_urls_per_file, "A count of URLs. " UNUSED)
        .checked(paramdeck_count_rule),
    integer_key("max_ncpus", &P::max_ncpus, "A processor count. " UNUSED, 64)
        .checked(paramdeck_count_rule),
    job_limits_key("max_jobs_in_progress", &P::max_jobs_in_progress,
                   "Caps on jobs in progress, for the whole project and per application, each for all, CPU and GPU jobs (a number of jobs, per processor or not). The library stores them; the programs that hand out work consult them."),
    job_cap_key("max_wus_in_progress", PARAMDECK_KIND::PROJECT_CPU_CAP,
                "The whole project's cap on CPU jobs in progress, counted per processor; a <cpu_limit> in the <project> block of config_aux.xml, read later, changes it.")
        .checked(paramdeck_jobs_rule),
    job_cap_key("max_wus_in_progress_gpu", PARAMDECK_KIND::PROJECT_GPU_CAP,
                "The whole project's cap on GPU jobs in progress, counted per processor; a <gpu_limit> in the <project> block of config_aux.xml, read later, changes it.")
        .checked(paramdeck_jobs_rule),
    integer_key("max_results_accepted", &P::max_results_accepted, "A count of results. " UNUSED)
        .checked(paramdeck_count_rule),
    integer_key("max_wus_to_send", &P::max_wus_to_send, "A job count. " UNUSED, 10)
        .checked(paramdeck_count_rule),
    integer_key("min_core_client_version", &P::min_core_client_version,
                "A client version number, major*10000+minor*100+release; 0: none. The library only rescales an old-style number; the value is kept for programs that read it.", 0, PARAMDECK_RULE::CLIENT_VERSION),
    integer_key("min_core_client_version_announced", &P::min_core_client_version_announced,
                "A client version number, as min_core_client_version; the library only rescales an old-style number.", 0, PARAMDECK_RULE::CLIENT_VERSION),
    integer_key("min_core_client_upgrade_deadline", &P::min_core_client_upgrade_deadline, UNUSED),
    integer_key("min_sendwork_interval", &P::min_sendwork_interval, UNUSED),
    integer_key("mm_min_slots", &P::mm_min_slots, "A count of slots. " UNUSED)
        .checked(paramdeck_count_rule),
    integer_key("mm_max_slots", &P::mm_max_slots, "A count of slots. " UNUSED)
        .checked(paramdeck_count_rule),
    real_key("next_rpc_delay", &P::next_rpc_delay, UNUSED),
    flag_key("no_amd_k6", &P::no_amd_k6,
             "Each true element adds the fixed pattern \".*AMD.*\\t.*Family 5 Model 8 Stepping 0.*\" to ban_cpu; the flag itself is kept for programs that read it.", false, PARAMDECK_RULE::AMD_K6),
    flag_key("no_vista_sandbox", &P::no_vista_sandbox, UNUSED),
    flag_key("nowork_skip", &P::nowork_skip, UNUSED),
    flag_key("one_result_per_host_per_wu", &P::one_result_per_host_per_wu, UNUSED),
    flag_key("one_result_per_user_per_wu", &P::one_result_per_user_per_wu, UNUSED),
    integer_key("reliable_max_avg_turnaround", &P::reliable_max_avg_turnaround, UNUSED),
    real_key("reliable_max_error_rate", &P::reliable_max_error_rate, UNUSED),
    real_key("reliable_reduced_delay_bound", &P::reliable_reduced_delay_bound, UNUSED),
    text_key("replace_download_url_by_timezone", &P::replace_download_url_by_timezone, UNUSED),
    flag_key("prefer_primary_platform", &P::prefer_primary_platform, UNUSED),
    real_key("version_select_random_factor", &P::version_select_random_factor, "A factor. " UNUSED, 0.1),
    integer_key("report_max", &P::report_max, UNUSED),
    flag_key("request_time_stats_log", &P::request_time_stats_log, UNUSED),
    flag_key("resend_lost_results", &P::resend_lost_results, UNUSED),
    integer_key("sched_debug_level", &P::sched_debug_level,
                "A debug level; the library's log takes its level from the program, not from this key. " UNUSED, 2),
    integer_key("scheduler_log_buffer", &P::scheduler_log_buffer, "A buffer size. " UNUSED, 32768)
        .checked(paramdeck_size_rule),
    text_key("sched_lockfile_dir", &P::sched_lockfile_dir, "A directory. " UNUSED),
    flag_key("send_result_abort", &P::send_result_abort, UNUSED),
    text_key("symstore", &P::symstore, UNUSED),
    flag_key("user_filter", &P::user_filter, UNUSED),
    flag_key("workload_sim", &P::workload_sim, UNUSED),
    flag_key("debug_array", &P::debug_array, UNUSED),
    flag_key("debug_array_detail", &P::debug_array_detail, UNUSED),
    flag_key("debug_assignment", &P::debug_assignment, UNUSED),
    flag_key("debug_credit", &P::debug_credit, UNUSED),
    flag_key("debug_edf_sim_detail", &P::debug_edf_sim_detail, UNUSED),
    flag_key("debug_edf_sim_workload", &P::debug_edf_sim_workload, UNUSED),
    flag_key("debug_fcgi", &P::debug_fcgi, UNUSED),
    flag_key("debug_handle_results", &P::debug_handle_results, UNUSED),
    flag_key("debug_locality", &P::debug_locality, UNUSED),
    flag_key("debug_locality_lite", &P::debug_locality_lite, UNUSED),
    flag_key("debug_prefs", &P::debug_prefs, UNUSED),
    flag_key("debug_quota", &P::debug_quota, UNUSED),
    flag_key("debug_request_details", &P::debug_request_details, UNUSED),
    flag_key("debug_request_headers", &P::debug_request_headers, UNUSED),
    flag_key("debug_resend", &P::debug_resend, UNUSED),
    flag_key("debug_send", &P::debug_send, UNUSED),
    flag_key("debug_user_messages", &P::debug_user_messages, UNUSED),
    flag_key("debug_vda", &P::debug_vda, UNUSED),
    flag_key("debug_version_select", &P::debug_version_select, UNUSED),
};
#undef UNUSED
// clang-format on
}  // namespace paramdeck_rows

using paramdeck_rows::PARAMDECK_KEYS;

inline constexpr size_t PARAMDECK_KEY_COUNT = std::size(PARAMDECK_KEYS);

// The row of the key `name`, or null.
const PARAMDECK_KEY* paramdeck_find_key(const char* name);

// The closing rules, applied in this order at the closing tag of <config>
// in the main document (never when the document ends first). Each sets a
// text key; a listener hears each one that changed a value (CLOSING_RULE).
struct PARAMDECK_CLOSING_RULE {
  const char* key;
  // Null: the value becomes "localhost" when it equals this host's name
  // (byte for byte). Else: an empty value takes from's, as it stands after
  // the rules before.
  const char* from;
};
inline constexpr PARAMDECK_CLOSING_RULE PARAMDECK_CLOSING_RULES[] = {
    {"db_host", nullptr},
    {"replica_db_host", "db_host"},
    {"replica_db_name", "db_name"},
    {"replica_db_user", "db_user"},
    {"replica_db_passwd", "db_passwd"},
};

// A closing rule in words ("db_host equal to this host's name becomes
// \"localhost\"", "replica_db_host empty takes db_host").
std::string paramdeck_closing_rule_text(const PARAMDECK_CLOSING_RULE& r);

// What a key's kind, its rule and the closing rules that set it add to its
// description, as sentences; "" when nothing.
std::string paramdeck_key_notes(const PARAMDECK_KEY& k);

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
constexpr bool is_text_key(const char* name) {
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (same_name(k.name, name)) return k.kind == PARAMDECK_KIND::TEXT;
  }
  return false;
}
constexpr bool closing_rules_name_texts() {
  for (const PARAMDECK_CLOSING_RULE& r : PARAMDECK_CLOSING_RULES) {
    if (!is_text_key(r.key) || (r.from && !is_text_key(r.from))) return false;
  }
  return true;
}
}  // namespace paramdeck_keys_check

// Each key has its own name, so the order of trying them cannot matter.
static_assert(paramdeck_keys_check::names_unique(), "a key is listed twice");
static_assert(paramdeck_keys_check::closing_rules_name_texts(),
              "a closing rule names a key that is not a text");
// 122 keys of the main document and 1 of the auxiliary one.
static_assert(PARAMDECK_KEY_COUNT == 123, "keys added or lost");

#endif
