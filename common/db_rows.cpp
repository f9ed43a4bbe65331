#include "common/db_rows.h"

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/error_numbers.h"
#include "common/str_util.h"
#include "database/sql_escape.h"

DB_CONN orvex_db;

namespace {

// Builds an assignment list "a=1, b='x', ..." into a buffer of
// QUERY_TEXT_MAX bytes. Every write is bounded; a list that would not fit
// (no record comes near it) is emptied, so that the statement is refused by
// the server instead of being sent with columns missing.
class ColumnWriter {
 public:
  explicit ColumnWriter(char* dest) : dest_(dest) { dest_[0] = '\0'; }

  void int_col(const char* column, int value) {
    append("%s=%d", column, value);
  }

  // %.17g reads back as the same double.
  void double_col(const char* column, double value) {
    append("%s=%.17g", column, std::isfinite(value) ? value : 0.0);
  }

  // field is a record's text buffer of field_size bytes; it is read up to
  // its terminator or its end, whichever comes first.
  void text_col(const char* column, const char* field, size_t field_size) {
    size_t len = strnlen(field, field_size);
    if (len >= sizeof escaped_) len = sizeof escaped_ - 1;
    memcpy(escaped_, field, len);
    escaped_[len] = '\0';
    // Room for every byte doubled: nothing is dropped.
    escape_string(escaped_, static_cast<int>(sizeof escaped_));
    append("%s='%s'", column, escaped_);
  }

 private:
  __attribute__((format(printf, 2, 3))) void append(const char* fmt, ...) {
    if (overflow_) return;
    size_t room = QUERY_TEXT_MAX - len_;
    int n = 0;
    if (len_ > 0) {
      n = snprintf(dest_ + len_, room, ", ");
      if (n < 0 || static_cast<size_t>(n) >= room) return fail();
      len_ += n;
      room -= n;
    }
    va_list args;
    va_start(args, fmt);
    n = vsnprintf(dest_ + len_, room, fmt, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= room) return fail();
    len_ += n;
  }

  void fail() {
    overflow_ = true;
    dest_[0] = '\0';
  }

  char* dest_;
  size_t len_ = 0;
  bool overflow_ = false;
  char escaped_[2 * DB_BLOB_LEN + 3];
};

// Reads the columns of a fetched row in order. SQL NULL gives the empty
// value; numbers out of range are clamped rather than wrapped.
class ColumnReader {
 public:
  explicit ColumnReader(MYSQL_ROW row) : row_(row) {}

  int int_col() {
    const char* text = row_[next_++];
    if (!text) return 0;
    long long v = strtoll(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
  }

  double double_col() {
    const char* text = row_[next_++];
    return text ? strtod(text, nullptr) : 0.0;
  }

  template <size_t N>
  void text_col(char (&field)[N]) {
    const char* text = row_[next_++];
    strlcpy(field, text ? text : "", N);
  }

 private:
  MYSQL_ROW row_;
  int next_ = 0;
};

DB_CONN* or_default(DB_CONN* connection) {
  return connection ? connection : &orvex_db;
}

}  // namespace

// ---- workunit ----

DB_WORKUNIT::DB_WORKUNIT(DB_CONN* connection)
    : TABLEROW("workunit", or_default(connection)) {}

DB_WORKUNIT& DB_WORKUNIT::operator=(const WORKUNIT& wu) {
  WORKUNIT::operator=(wu);
  return *this;
}

int DB_WORKUNIT::get_id() { return id; }

void DB_WORKUNIT::db_print(char* dest) {
  ColumnWriter w(dest);
  w.int_col("id", id);
  w.int_col("create_time", create_time);
  w.int_col("appid", appid);
  w.text_col("name", name, sizeof name);
  w.text_col("xml_doc", xml_doc, sizeof xml_doc);
  w.int_col("batch", batch);
  w.double_col("rsc_fpops_est", rsc_fpops_est);
  w.double_col("rsc_fpops_bound", rsc_fpops_bound);
  w.double_col("rsc_memory_bound", rsc_memory_bound);
  w.double_col("rsc_disk_bound", rsc_disk_bound);
  w.int_col("need_validate", need_validate);
  w.int_col("canonical_resultid", canonical_resultid);
  w.double_col("canonical_credit", canonical_credit);
  w.int_col("transition_time", transition_time);
  w.int_col("delay_bound", delay_bound);
  w.int_col("error_mask", error_mask);
  w.int_col("file_delete_state", file_delete_state);
  w.int_col("assimilate_state", assimilate_state);
  w.int_col("min_quorum", min_quorum);
  w.int_col("target_nresults", target_nresults);
  w.int_col("max_error_results", max_error_results);
  w.int_col("max_total_results", max_total_results);
  w.int_col("max_success_results", max_success_results);
  w.text_col("result_template_file", result_template_file,
             sizeof result_template_file);
  w.int_col("priority", priority);
  w.int_col("app_version_id", app_version_id);
  w.int_col("transitioner_flags", transitioner_flags);
}

// The columns db_parse reads below, in table order.
int DB_WORKUNIT::db_columns() { return 27; }

void DB_WORKUNIT::db_parse(MYSQL_ROW& row) {
  ColumnReader r(row);
  id = r.int_col();
  create_time = r.int_col();
  appid = r.int_col();
  r.text_col(name);
  r.text_col(xml_doc);
  batch = r.int_col();
  rsc_fpops_est = r.double_col();
  rsc_fpops_bound = r.double_col();
  rsc_memory_bound = r.double_col();
  rsc_disk_bound = r.double_col();
  need_validate = r.int_col();
  canonical_resultid = r.int_col();
  canonical_credit = r.double_col();
  transition_time = r.int_col();
  delay_bound = r.int_col();
  error_mask = r.int_col();
  file_delete_state = r.int_col();
  assimilate_state = r.int_col();
  min_quorum = r.int_col();
  target_nresults = r.int_col();
  max_error_results = r.int_col();
  max_total_results = r.int_col();
  max_success_results = r.int_col();
  r.text_col(result_template_file);
  priority = r.int_col();
  app_version_id = r.int_col();
  transitioner_flags = r.int_col();
}

// ---- result ----

DB_RESULT::DB_RESULT(DB_CONN* connection)
    : TABLEROW("result", or_default(connection)) {}

int DB_RESULT::get_id() { return id; }

void DB_RESULT::db_print(char* dest) {
  ColumnWriter w(dest);
  w.int_col("id", id);
  w.int_col("create_time", create_time);
  w.int_col("workunitid", workunitid);
  w.int_col("server_state", server_state);
  w.int_col("outcome", outcome);
  w.int_col("client_state", client_state);
  w.int_col("hostid", hostid);
  w.int_col("userid", userid);
  w.int_col("report_deadline", report_deadline);
  w.int_col("sent_time", sent_time);
  w.int_col("received_time", received_time);
  w.text_col("name", name, sizeof name);
  w.double_col("cpu_time", cpu_time);
  w.text_col("xml_doc_out", xml_doc_out, sizeof xml_doc_out);
  w.text_col("stderr_out", stderr_out, sizeof stderr_out);
  w.int_col("batch", batch);
  w.int_col("file_delete_state", file_delete_state);
  w.int_col("validate_state", validate_state);
  w.double_col("granted_credit", granted_credit);
  w.double_col("opaque", opaque);
  w.int_col("random", random);
  w.int_col("app_version_num", app_version_num);
  w.int_col("appid", appid);
  w.int_col("exit_status", exit_status);
  w.int_col("teamid", teamid);
  w.int_col("priority", priority);
  w.double_col("elapsed_time", elapsed_time);
  w.double_col("flops_estimate", flops_estimate);
  w.int_col("app_version_id", app_version_id);
}

// The columns db_parse reads below, in table order.
int DB_RESULT::db_columns() { return 29; }

void DB_RESULT::db_parse(MYSQL_ROW& row) {
  ColumnReader r(row);
  id = r.int_col();
  create_time = r.int_col();
  workunitid = r.int_col();
  server_state = r.int_col();
  outcome = r.int_col();
  client_state = r.int_col();
  hostid = r.int_col();
  userid = r.int_col();
  report_deadline = r.int_col();
  sent_time = r.int_col();
  received_time = r.int_col();
  r.text_col(name);
  cpu_time = r.double_col();
  r.text_col(xml_doc_out);
  r.text_col(stderr_out);
  batch = r.int_col();
  file_delete_state = r.int_col();
  validate_state = r.int_col();
  granted_credit = r.double_col();
  opaque = r.double_col();
  random = r.int_col();
  app_version_num = r.int_col();
  appid = r.int_col();
  exit_status = r.int_col();
  teamid = r.int_col();
  priority = r.int_col();
  elapsed_time = r.double_col();
  flops_estimate = r.double_col();
  app_version_id = r.int_col();
}

// ---- host ----

DB_HOST::DB_HOST(DB_CONN* connection)
    : TABLEROW("host", or_default(connection)) {}

int DB_HOST::get_id() { return id; }

void DB_HOST::db_print(char* dest) {
  ColumnWriter w(dest);
  w.int_col("id", id);
  w.int_col("create_time", create_time);
  w.int_col("userid", userid);
  w.int_col("rpc_seqno", rpc_seqno);
  w.int_col("rpc_time", rpc_time);
  w.double_col("total_credit", total_credit);
  w.double_col("expavg_credit", expavg_credit);
  w.double_col("expavg_time", expavg_time);
  w.int_col("timezone", timezone);
  w.text_col("domain_name", domain_name, sizeof domain_name);
  w.text_col("last_ip_addr", last_ip_addr, sizeof last_ip_addr);
  w.text_col("external_ip_addr", external_ip_addr, sizeof external_ip_addr);
  w.text_col("host_cpid", host_cpid, sizeof host_cpid);
  w.int_col("p_ncpus", p_ncpus);
  w.text_col("p_vendor", p_vendor, sizeof p_vendor);
  w.text_col("p_model", p_model, sizeof p_model);
  w.double_col("p_fpops", p_fpops);
  w.double_col("p_iops", p_iops);
  w.double_col("p_membw", p_membw);
  w.text_col("os_name", os_name, sizeof os_name);
  w.text_col("os_version", os_version, sizeof os_version);
  w.double_col("m_nbytes", m_nbytes);
  w.double_col("m_cache", m_cache);
  w.double_col("m_swap", m_swap);
  w.double_col("d_total", d_total);
  w.double_col("d_free", d_free);
  w.double_col("n_bwup", n_bwup);
  w.double_col("n_bwdown", n_bwdown);
  w.double_col("avg_turnaround", avg_turnaround);
  w.double_col("credit_per_cpu_sec", credit_per_cpu_sec);
  w.text_col("venue", venue, sizeof venue);
  w.int_col("nresults_today", nresults_today);
  w.double_col("error_rate", error_rate);
  w.int_col("max_results_day", max_results_day);
}

// The columns db_parse reads below, in table order.
int DB_HOST::db_columns() { return 34; }

void DB_HOST::db_parse(MYSQL_ROW& row) {
  ColumnReader r(row);
  id = r.int_col();
  create_time = r.int_col();
  userid = r.int_col();
  rpc_seqno = r.int_col();
  rpc_time = r.int_col();
  total_credit = r.double_col();
  expavg_credit = r.double_col();
  expavg_time = r.double_col();
  timezone = r.int_col();
  r.text_col(domain_name);
  r.text_col(last_ip_addr);
  r.text_col(external_ip_addr);
  r.text_col(host_cpid);
  p_ncpus = r.int_col();
  r.text_col(p_vendor);
  r.text_col(p_model);
  p_fpops = r.double_col();
  p_iops = r.double_col();
  p_membw = r.double_col();
  r.text_col(os_name);
  r.text_col(os_version);
  m_nbytes = r.double_col();
  m_cache = r.double_col();
  m_swap = r.double_col();
  d_total = r.double_col();
  d_free = r.double_col();
  n_bwup = r.double_col();
  n_bwdown = r.double_col();
  avg_turnaround = r.double_col();
  credit_per_cpu_sec = r.double_col();
  r.text_col(venue);
  nresults_today = r.int_col();
  error_rate = r.double_col();
  max_results_day = r.int_col();
}

int DB_HOST::fpops_mean(double& x) {
  char query[256];
  snprintf(query, sizeof query, "select avg(p_fpops) from %s", table_name);
  return get_double(query, x);
}

int DB_HOST::fpops_stddev(double& x) {
  char query[256];
  snprintf(query, sizeof query, "select stddev_pop(p_fpops) from %s",
           table_name);
  return get_double(query, x);
}

int DB_HOST::fpops_percentile(double percent, double& x) {
  if (std::isnan(percent)) return ERR_DB_NO_ROW;
  int n = 0;
  int retval = count(n, "");
  if (retval) return retval;
  if (n <= 0) return ERR_DB_NO_ROW;
  // Rank 1..n; in double, so that no percent can overflow an int.
  double rank = std::ceil(percent / 100.0 * n);
  if (rank < 1) rank = 1;
  if (rank > n) rank = n;
  char query[256];
  snprintf(query, sizeof query,
           "select p_fpops from %s order by p_fpops limit 1 offset %d",
           table_name, static_cast<int>(rank) - 1);
  return get_double(query, x);
}

// ---- assignment ----

DB_ASSIGNMENT::DB_ASSIGNMENT(DB_CONN* connection)
    : TABLEROW("assignment", or_default(connection)) {}

int DB_ASSIGNMENT::get_id() { return id; }

void DB_ASSIGNMENT::db_print(char* dest) {
  ColumnWriter w(dest);
  w.int_col("id", id);
  w.int_col("create_time", create_time);
  w.int_col("target_id", target_id);
  w.int_col("target_type", target_type);
  w.int_col("multi", multi);
  w.int_col("workunitid", workunitid);
  w.int_col("resultid", resultid);
}

// The columns db_parse reads below, in table order.
int DB_ASSIGNMENT::db_columns() { return 7; }

void DB_ASSIGNMENT::db_parse(MYSQL_ROW& row) {
  ColumnReader r(row);
  id = r.int_col();
  create_time = r.int_col();
  target_id = r.int_col();
  target_type = r.int_col();
  multi = r.int_col();
  workunitid = r.int_col();
  resultid = r.int_col();
}
