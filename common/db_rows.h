// The project's row classes: one record and one TABLEROW class for each of
// the tables workunit, result, host and assignment, whose layout is
// db/schema.sql. A record (WORKUNIT) is plain data; its row class
// (DB_WORKUNIT) joins it with TABLEROW, so every TABLEROW operation reads
// into or writes from the record's fields.
//
// The default connection. A program opens the global orvex_db once, with the
// database settings of config, before it uses any row object:
//
//   orvex_db.open(config.db_name, config.db_host, config.db_user,
//                 config.db_passwd);
//
// A row object constructed without a connection (or with a null one) sends
// its statements through &orvex_db; one given a connection uses that one.
// Either way the connection is not owned. orvex_db is a plain global: its
// address is valid during static initialisation, but it holds no connection
// until the program opens it, and it is never closed behind the program's
// back.
//
// Columns. Each record has one column table (below), and db_print and
// db_parse are loops over it: db_print writes every column of the record, in
// table order, texts escaped with escape_string; db_parse reads them back
// from a row of "select *" in the same order, and an SQL NULL gives the
// field's empty value (0, or the empty text). A table must have at least the
// columns of db/schema.sql, in that order: db_parse reads the row by
// position, and a row with fewer columns is refused (ERR_DB_ROW_SHORT, see
// db_columns). Texts
// are byte strings: the schema stores them in binary columns no longer than
// their field, so any bytes round-trip and a value that would not fit is
// refused by the server rather than cut on the way back. A double that is
// not finite (the database holds none) is written as 0.
#ifndef ORVEX_COMMON_DB_ROWS_H
#define ORVEX_COMMON_DB_ROWS_H

#include <cstddef>

#include "database/tablerow.h"

// The connection that row objects use when given none. Opened and closed by
// the program.
extern DB_CONN orvex_db;

// Text sizes of the records, terminator included.
constexpr int DB_NAME_LEN = 256;   // names and short texts
constexpr int DB_BLOB_LEN = 4096;  // XML documents and standard error output

// result.server_state
constexpr int RESULT_SERVER_STATE_INACTIVE = 1;
constexpr int RESULT_SERVER_STATE_UNSENT = 2;
constexpr int RESULT_SERVER_STATE_IN_PROGRESS = 4;
constexpr int RESULT_SERVER_STATE_OVER = 5;

// result.outcome, meaningful once the result is over
constexpr int RESULT_OUTCOME_INIT = 0;
constexpr int RESULT_OUTCOME_SUCCESS = 1;
constexpr int RESULT_OUTCOME_COULDNT_SEND = 2;
constexpr int RESULT_OUTCOME_CLIENT_ERROR = 3;
constexpr int RESULT_OUTCOME_NO_REPLY = 4;
constexpr int RESULT_OUTCOME_DIDNT_NEED = 5;
constexpr int RESULT_OUTCOME_VALIDATE_ERROR = 6;

// workunit.transitioner_flags: the results the workunit has are the only
// ones it gets (an assigned workunit's replicas are made by the scheduler).
constexpr int TRANSITION_NO_NEW_RESULTS = 2;

// assignment.target_type
constexpr int ASSIGN_NONE = 0;
constexpr int ASSIGN_HOST = 1;
constexpr int ASSIGN_USER = 2;
constexpr int ASSIGN_TEAM = 3;

// A job: its input, its resource bounds and where it stands.
struct WORKUNIT {
  int id = 0;
  int create_time = 0;  // seconds since the epoch
  int appid = 0;
  char name[DB_NAME_LEN] = {};
  char xml_doc[DB_BLOB_LEN] = {};  // input file references
  int batch = 0;
  double rsc_fpops_est = 0;  // estimated floating-point operations
  double rsc_fpops_bound = 0;
  double rsc_memory_bound = 0;  // bytes
  double rsc_disk_bound = 0;    // bytes
  int need_validate = 0;
  int canonical_resultid = 0;
  double canonical_credit = 0;
  int transition_time = 0;  // when the transitioner looks at it next
  int delay_bound = 0;      // seconds a host has for one result
  int error_mask = 0;
  int file_delete_state = 0;
  int assimilate_state = 0;
  int min_quorum = 0;
  int target_nresults = 0;
  int max_error_results = 0;
  int max_total_results = 0;
  int max_success_results = 0;
  char result_template_file[DB_NAME_LEN] = {};
  int priority = 0;
  int app_version_id = 0;
  int transitioner_flags = 0;

  // Every field to its empty value.
  void clear() { *this = WORKUNIT(); }
};

// One instance of a workunit, sent to one host.
struct RESULT {
  int id = 0;
  int create_time = 0;
  int workunitid = 0;
  int server_state = 0;
  int outcome = 0;
  int client_state = 0;
  int hostid = 0;
  int userid = 0;
  int report_deadline = 0;
  int sent_time = 0;
  int received_time = 0;
  char name[DB_NAME_LEN] = {};
  double cpu_time = 0;  // seconds
  char xml_doc_out[DB_BLOB_LEN] = {};
  char stderr_out[DB_BLOB_LEN] = {};
  int batch = 0;
  int file_delete_state = 0;
  int validate_state = 0;
  double granted_credit = 0;
  double opaque = 0;
  int random = 0;  // orders the unsent results for sending
  int app_version_num = 0;
  int appid = 0;
  int exit_status = 0;
  int teamid = 0;
  int priority = 0;
  double elapsed_time = 0;  // seconds
  double flops_estimate = 0;
  int app_version_id = 0;

  void clear() { *this = RESULT(); }
};

// A client computer. The texts it reports about itself are stored as given.
struct HOST {
  int id = 0;
  int create_time = 0;
  int userid = 0;
  int rpc_seqno = 0;
  int rpc_time = 0;  // last contact
  double total_credit = 0;
  double expavg_credit = 0;
  double expavg_time = 0;
  int timezone = 0;  // seconds east of UTC
  char domain_name[DB_NAME_LEN] = {};
  char last_ip_addr[DB_NAME_LEN] = {};
  char external_ip_addr[DB_NAME_LEN] = {};
  char host_cpid[DB_NAME_LEN] = {};
  int p_ncpus = 0;
  char p_vendor[DB_NAME_LEN] = {};
  char p_model[DB_NAME_LEN] = {};
  double p_fpops = 0;  // floating-point operations per second, per CPU
  double p_iops = 0;
  double p_membw = 0;
  char os_name[DB_NAME_LEN] = {};
  char os_version[DB_NAME_LEN] = {};
  double m_nbytes = 0;  // memory
  double m_cache = 0;
  double m_swap = 0;
  double d_total = 0;  // disk
  double d_free = 0;
  double n_bwup = 0;  // network, bytes per second
  double n_bwdown = 0;
  double avg_turnaround = 0;  // seconds from sending to reporting; 0: none
  double credit_per_cpu_sec = 0;
  char venue[DB_NAME_LEN] = {};
  int nresults_today = 0;
  double error_rate = 0;
  int max_results_day = 0;

  void clear() { *this = HOST(); }
};

// A workunit reserved for one host, user or team.
struct ASSIGNMENT {
  int id = 0;
  int create_time = 0;
  int target_id = 0;    // id of the host, user or team
  int target_type = 0;  // ASSIGN_*
  int multi = 0;        // 0: one result for the target; 1: one per member
  int workunitid = 0;
  int resultid = 0;  // the result made for it, once there is one

  void clear() { *this = ASSIGNMENT(); }
};

// A column of a record: its name, which is also its member's, and where and
// what the member is. The tables list every member of their record, in
// member order (checked when the library is compiled), and
// tests/db_rows_test.cpp holds them against the live schema of db/schema.sql
// column by column: names, order, types and text sizes.
enum DB_COLUMN_KIND {
  DB_COLUMN_INT,     // int; SQL integer or smallint
  DB_COLUMN_DOUBLE,  // double; SQL double
  DB_COLUMN_TEXT,    // char[size]; SQL varbinary(size - 1)
};

struct DB_COLUMN {
  const char* name;
  DB_COLUMN_KIND kind;
  size_t offset;  // of the member in its record
  size_t size;    // of the member, in bytes
};

// The columns of RECORD's table; typed by the record, so that no row class
// can read or write its record through another record's columns.
template <typename RECORD>
struct DB_COLUMN_TABLE {
  const DB_COLUMN* columns;  // in table order
  int count;
};

extern const DB_COLUMN_TABLE<WORKUNIT> workunit_columns;
extern const DB_COLUMN_TABLE<RESULT> result_columns;
extern const DB_COLUMN_TABLE<HOST> host_columns;
extern const DB_COLUMN_TABLE<ASSIGNMENT> assignment_columns;

// The part of a row class that its record's column table answers: id,
// db_print, db_parse and the column checks. Copies share the connection and
// start with no enumeration of their own (see TABLEROW).
template <typename RECORD>
class DB_RECORD_ROW : public TABLEROW, public RECORD {
 public:
  int get_id() override { return this->id; }
  void db_print(char* dest) override;
  void db_parse(MYSQL_ROW& row) override;
  int db_columns() override;
  const char* db_column_name(int i) override;

 protected:
  // A null connection means orvex_db.
  DB_RECORD_ROW(const char* table_name, DB_CONN* connection);
};

extern template class DB_RECORD_ROW<WORKUNIT>;
extern template class DB_RECORD_ROW<RESULT>;
extern template class DB_RECORD_ROW<HOST>;
extern template class DB_RECORD_ROW<ASSIGNMENT>;

// The row classes.
class DB_WORKUNIT : public DB_RECORD_ROW<WORKUNIT> {
 public:
  explicit DB_WORKUNIT(DB_CONN* connection = nullptr);
  // Takes the whole record, id included; the connection stays.
  DB_WORKUNIT& operator=(const WORKUNIT& wu);
};

class DB_RESULT : public DB_RECORD_ROW<RESULT> {
 public:
  explicit DB_RESULT(DB_CONN* connection = nullptr);
};

class DB_HOST : public DB_RECORD_ROW<HOST> {
 public:
  explicit DB_HOST(DB_CONN* connection = nullptr);

  // Statistics of p_fpops over every row of the host table, computed by the
  // server. Each stores its value in x and returns 0; with no hosts, or a
  // value the server could not compute (NULL, not a number), it returns
  // ERR_DB_NO_ROW and leaves x untouched; a refused statement gives the
  // value of do_query.
  // Hosts report their speeds themselves, so any finite double may be
  // stored, and the server's sums of such values overflow (it then answers
  // 0 or the largest double, with no warning). The mean and the deviation
  // therefore ask first for the largest magnitude stored (one statement, on
  // the index); above 2^480 they are computed over the values times a power
  // of two that brings them below it, and scaled back here. Every value
  // counts, none is left out, and the results stay within the magnitudes
  // stored. Below 2^480, which every real speed is, they send the plain
  // aggregate and give exactly its result.
  // The mean.
  int fpops_mean(double& x);
  // The population standard deviation (divisor n, not n - 1).
  int fpops_stddev(double& x);
  // The nearest-rank percentile: of the n values in ascending order, the
  // k-th with k = ceil(percent / 100 * n), at least 1 and at most n (so 0
  // gives the smallest, 100 the largest). A percent that is not a number is
  // refused with ERR_DB_NO_ROW, x untouched.
  int fpops_percentile(double percent, double& x);

 private:
  // aggregate ("avg", "stddev_pop") of p_fpops, scaled as said above.
  int fpops_aggregate(const char* aggregate, double& x);
};

class DB_ASSIGNMENT : public DB_RECORD_ROW<ASSIGNMENT> {
 public:
  explicit DB_ASSIGNMENT(DB_CONN* connection = nullptr);
};

#endif
