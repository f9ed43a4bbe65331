#include "common/db_rows.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "common/error_numbers.h"
#include "common/str_util.h"
#include "database/sql_escape.h"

DB_CONN orvex_db;

namespace {

// The kind of a member's column, from the member's type; a member of any
// other type has no column and does not compile.
template <typename T>
struct ColumnKind;
template <>
struct ColumnKind<int> {
  static constexpr DB_COLUMN_KIND value = DB_COLUMN_INT;
};
template <>
struct ColumnKind<double> {
  static constexpr DB_COLUMN_KIND value = DB_COLUMN_DOUBLE;
};
template <size_t N>
struct ColumnKind<char[N]> {
  static constexpr DB_COLUMN_KIND value = DB_COLUMN_TEXT;
};

template <typename T>
constexpr DB_COLUMN column(const char* name, size_t offset) {
  return {name, ColumnKind<T>::value, offset, sizeof(T)};
}

// The column named after MEMBER of RECORD: name, kind and size all come from
// the member, so none of them can be written wrong.
#define ORVEX_COLUMN(RECORD, MEMBER) \
  column<decltype(RECORD::MEMBER)>(#MEMBER, offsetof(RECORD, MEMBER))

constexpr size_t align_of(DB_COLUMN_KIND kind) {
  return kind == DB_COLUMN_INT      ? alignof(int)
         : kind == DB_COLUMN_DOUBLE ? alignof(double)
                                    : 1;
}

constexpr size_t align_up(size_t offset, size_t align) {
  return (offset + align - 1) / align * align;
}

// True when the columns are every member of a record of record_size bytes,
// in member order: each starts where the one before it ends (after the
// padding its type needs) and the last ends the record. A member left out
// of the table, or two swapped, leaves a gap or an overlap.
template <size_t N>
constexpr bool covers_record(const DB_COLUMN (&columns)[N], size_t record_size,
                             size_t record_align) {
  size_t end = 0;
  for (size_t i = 0; i < N; i++) {
    if (columns[i].offset != align_up(end, align_of(columns[i].kind))) {
      return false;
    }
    end = columns[i].offset + columns[i].size;
  }
  return align_up(end, record_align) == record_size;
}

#define WU(m) ORVEX_COLUMN(WORKUNIT, m)
constexpr DB_COLUMN kWorkunit[] = {
    WU(id),
    WU(create_time),
    WU(appid),
    WU(name),
    WU(xml_doc),
    WU(batch),
    WU(rsc_fpops_est),
    WU(rsc_fpops_bound),
    WU(rsc_memory_bound),
    WU(rsc_disk_bound),
    WU(need_validate),
    WU(canonical_resultid),
    WU(canonical_credit),
    WU(transition_time),
    WU(delay_bound),
    WU(error_mask),
    WU(file_delete_state),
    WU(assimilate_state),
    WU(min_quorum),
    WU(target_nresults),
    WU(max_error_results),
    WU(max_total_results),
    WU(max_success_results),
    WU(result_template_file),
    WU(priority),
    WU(app_version_id),
    WU(transitioner_flags),
};
#undef WU
static_assert(covers_record(kWorkunit, sizeof(WORKUNIT), alignof(WORKUNIT)));

#define RES(m) ORVEX_COLUMN(RESULT, m)
constexpr DB_COLUMN kResult[] = {
    RES(id),
    RES(create_time),
    RES(workunitid),
    RES(server_state),
    RES(outcome),
    RES(client_state),
    RES(hostid),
    RES(userid),
    RES(report_deadline),
    RES(sent_time),
    RES(received_time),
    RES(name),
    RES(cpu_time),
    RES(xml_doc_out),
    RES(stderr_out),
    RES(batch),
    RES(file_delete_state),
    RES(validate_state),
    RES(granted_credit),
    RES(opaque),
    RES(random),
    RES(app_version_num),
    RES(appid),
    RES(exit_status),
    RES(teamid),
    RES(priority),
    RES(elapsed_time),
    RES(flops_estimate),
    RES(app_version_id),
};
#undef RES
static_assert(covers_record(kResult, sizeof(RESULT), alignof(RESULT)));

#define HST(m) ORVEX_COLUMN(HOST, m)
constexpr DB_COLUMN kHost[] = {
    HST(id),
    HST(create_time),
    HST(userid),
    HST(rpc_seqno),
    HST(rpc_time),
    HST(total_credit),
    HST(expavg_credit),
    HST(expavg_time),
    HST(timezone),
    HST(domain_name),
    HST(last_ip_addr),
    HST(external_ip_addr),
    HST(host_cpid),
    HST(p_ncpus),
    HST(p_vendor),
    HST(p_model),
    HST(p_fpops),
    HST(p_iops),
    HST(p_membw),
    HST(os_name),
    HST(os_version),
    HST(m_nbytes),
    HST(m_cache),
    HST(m_swap),
    HST(d_total),
    HST(d_free),
    HST(n_bwup),
    HST(n_bwdown),
    HST(avg_turnaround),
    HST(credit_per_cpu_sec),
    HST(venue),
    HST(nresults_today),
    HST(error_rate),
    HST(max_results_day),
};
#undef HST
static_assert(covers_record(kHost, sizeof(HOST), alignof(HOST)));

#define ASG(m) ORVEX_COLUMN(ASSIGNMENT, m)
constexpr DB_COLUMN kAssignment[] = {
    ASG(id),    ASG(create_time), ASG(target_id), ASG(target_type),
    ASG(multi), ASG(workunitid),  ASG(resultid),
};
#undef ASG
static_assert(covers_record(kAssignment, sizeof(ASSIGNMENT),
                            alignof(ASSIGNMENT)));

#undef ORVEX_COLUMN

// Builds an assignment list "a=1, b='x', ..." into a buffer of
// QUERY_TEXT_MAX bytes. Every write is bounded; a list that would not fit
// (no record comes near it) is emptied, so that the statement is refused by
// the server instead of being sent with columns missing.
class ListWriter {
 public:
  explicit ListWriter(char* dest) : dest_(dest) { dest_[0] = '\0'; }

  // "name=" after the separator; false once the list has overflowed.
  bool start(const char* name, bool first) {
    size_t name_len = strlen(name);
    if (!reserve(name_len + 3)) return false;
    if (!first) put(", ", 2);
    put(name, name_len);
    put("=", 1);
    return true;
  }

  void int_value(int value) {
    char buf[16];
    std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value);
    if (reserve(r.ptr - buf)) put(buf, r.ptr - buf);
  }

  // %.17g reads back as the same double.
  void double_value(double value) {
    char buf[32];
    int n =
        snprintf(buf, sizeof buf, "%.17g", std::isfinite(value) ? value : 0.0);
    if (reserve(n)) put(buf, n);
  }

  // field is a record's text buffer of field_size bytes; it is read up to
  // its terminator or its end, whichever comes first, and escaped in place
  // in dest, with room for every byte doubled, so nothing is dropped.
  void text_value(const char* field, size_t field_size) {
    size_t len = strnlen(field, field_size);
    if (!reserve(2 * len + 4)) return;
    char* text = dest_ + len_ + 1;
    dest_[len_] = '\'';
    memcpy(text, field, len);
    text[len] = '\0';
    escape_string(text, static_cast<int>(2 * len + 3));
    len_ += 1 + strlen(text);
    put("'", 1);
  }

  void finish() {
    if (!overflow_) dest_[len_] = '\0';
  }

 private:
  // Room for n more bytes and the terminator.
  bool reserve(size_t n) {
    if (!overflow_ && n < QUERY_TEXT_MAX - len_) return true;
    overflow_ = true;
    dest_[0] = '\0';
    return false;
  }

  void put(const char* bytes, size_t n) {
    memcpy(dest_ + len_, bytes, n);
    len_ += n;
  }

  char* dest_;
  size_t len_ = 0;
  bool overflow_ = false;
};

void print_columns(const DB_COLUMN* columns, int count, const void* record,
                   char* dest) {
  const char* base = static_cast<const char*>(record);
  ListWriter w(dest);
  for (int i = 0; i < count; i++) {
    const DB_COLUMN& c = columns[i];
    const char* field = base + c.offset;
    if (!w.start(c.name, i == 0)) return;
    switch (c.kind) {
      case DB_COLUMN_INT: {
        int v;
        memcpy(&v, field, sizeof v);
        w.int_value(v);
        break;
      }
      case DB_COLUMN_DOUBLE: {
        double v;
        memcpy(&v, field, sizeof v);
        w.double_value(v);
        break;
      }
      case DB_COLUMN_TEXT: w.text_value(field, c.size); break;
    }
  }
  w.finish();
}

// A column's integer text as strtoll reads it, clamped to int. The server's
// usual form, an optional minus and up to nine digits, is read here: the
// library call was most of the time db_parse took.
int int_of(const char* text) {
  const char* digits = text + (*text == '-');
  int v = 0, n = 0;
  for (; n < 9 && digits[n] >= '0' && digits[n] <= '9'; n++) {
    v = v * 10 + (digits[n] - '0');
  }
  if (n > 0 && digits[n] == '\0') return *text == '-' ? -v : v;
  long long w = strtoll(text, nullptr, 10);
  return w > INT_MAX ? INT_MAX : w < INT_MIN ? INT_MIN : static_cast<int>(w);
}

// Reads the columns of a fetched row in table order. SQL NULL gives the
// empty value; numbers out of range are clamped rather than wrapped.
void parse_columns(const DB_COLUMN* columns, int count, void* record,
                   MYSQL_ROW row) {
  char* base = static_cast<char*>(record);
  for (int i = 0; i < count; i++) {
    const DB_COLUMN& c = columns[i];
    const char* text = row[i];
    char* field = base + c.offset;
    switch (c.kind) {
      case DB_COLUMN_INT: {
        int v = text ? int_of(text) : 0;
        memcpy(field, &v, sizeof v);
        break;
      }
      case DB_COLUMN_DOUBLE: {
        double v = text ? strtod(text, nullptr) : 0.0;
        memcpy(field, &v, sizeof v);
        break;
      }
      case DB_COLUMN_TEXT: strlcpy(field, text ? text : "", c.size); break;
    }
  }
}

}  // namespace

const DB_COLUMN_TABLE<WORKUNIT> workunit_columns = {
    kWorkunit, static_cast<int>(std::size(kWorkunit))};
const DB_COLUMN_TABLE<RESULT> result_columns = {
    kResult, static_cast<int>(std::size(kResult))};
const DB_COLUMN_TABLE<HOST> host_columns = {kHost,
                                            static_cast<int>(std::size(kHost))};
const DB_COLUMN_TABLE<ASSIGNMENT> assignment_columns = {
    kAssignment, static_cast<int>(std::size(kAssignment))};

namespace {

const DB_COLUMN_TABLE<WORKUNIT>& table_of(const WORKUNIT*) {
  return workunit_columns;
}
const DB_COLUMN_TABLE<RESULT>& table_of(const RESULT*) {
  return result_columns;
}
const DB_COLUMN_TABLE<HOST>& table_of(const HOST*) { return host_columns; }
const DB_COLUMN_TABLE<ASSIGNMENT>& table_of(const ASSIGNMENT*) {
  return assignment_columns;
}

}  // namespace

template <typename RECORD>
DB_RECORD_ROW<RECORD>::DB_RECORD_ROW(const char* table_name,
                                     DB_CONN* connection)
    : TABLEROW(table_name, connection ? connection : &orvex_db) {}

template <typename RECORD>
void DB_RECORD_ROW<RECORD>::db_print(char* dest) {
  const RECORD* record = this;
  const DB_COLUMN_TABLE<RECORD>& table = table_of(record);
  print_columns(table.columns, table.count, record, dest);
}

template <typename RECORD>
void DB_RECORD_ROW<RECORD>::db_parse(MYSQL_ROW& row) {
  RECORD* record = this;
  const DB_COLUMN_TABLE<RECORD>& table = table_of(record);
  parse_columns(table.columns, table.count, record, row);
}

template <typename RECORD>
int DB_RECORD_ROW<RECORD>::db_columns() {
  return table_of(static_cast<RECORD*>(this)).count;
}

template <typename RECORD>
const char* DB_RECORD_ROW<RECORD>::db_column_name(int i) {
  const DB_COLUMN_TABLE<RECORD>& table = table_of(static_cast<RECORD*>(this));
  return i >= 0 && i < table.count ? table.columns[i].name : nullptr;
}

template class DB_RECORD_ROW<WORKUNIT>;
template class DB_RECORD_ROW<RESULT>;
template class DB_RECORD_ROW<HOST>;
template class DB_RECORD_ROW<ASSIGNMENT>;

DB_WORKUNIT::DB_WORKUNIT(DB_CONN* connection)
    : DB_RECORD_ROW("workunit", connection) {}

DB_WORKUNIT& DB_WORKUNIT::operator=(const WORKUNIT& wu) {
  WORKUNIT::operator=(wu);
  return *this;
}

DB_RESULT::DB_RESULT(DB_CONN* connection)
    : DB_RECORD_ROW("result", connection) {}

DB_HOST::DB_HOST(DB_CONN* connection) : DB_RECORD_ROW("host", connection) {}

DB_ASSIGNMENT::DB_ASSIGNMENT(DB_CONN* connection)
    : DB_RECORD_ROW("assignment", connection) {}

int DB_HOST::fpops_aggregate(const char* aggregate, double& x) {
  char query[256];
  snprintf(query, sizeof query,
           "select greatest(max(p_fpops), -min(p_fpops)) from %s", table_name);
  double top = 0;
  int retval = get_double(query, top);
  if (retval) return retval;
  if (!std::isfinite(top)) return ERR_DB_NO_ROW;
  // With every |value| at most 2^480, n of them (n < 2^31) sum to less than
  // 2^511 and their squared deviations to less than 2^993: no overflow.
  // A power of two scales exactly, so only values far below the largest
  // lose digits, and they weigh nothing beside it.
  int exponent = 0;
  std::frexp(top, &exponent);
  int shift = exponent > 480 ? exponent - 480 : 0;
  if (shift) {
    snprintf(query, sizeof query, "select %s(p_fpops * %.17g) from %s",
             aggregate, std::ldexp(1.0, -shift), table_name);
  } else {
    snprintf(query, sizeof query, "select %s(p_fpops) from %s", aggregate,
             table_name);
  }
  double scaled = 0;
  retval = get_double(query, scaled);
  if (retval) return retval;
  if (!std::isfinite(scaled)) return ERR_DB_NO_ROW;
  double value = std::ldexp(scaled, shift);
  // Only rounding can carry the result past the largest magnitude stored.
  x = std::isinf(value) ? std::copysign(top, value) : value;
  return 0;
}

int DB_HOST::fpops_mean(double& x) { return fpops_aggregate("avg", x); }

int DB_HOST::fpops_stddev(double& x) {
  return fpops_aggregate("stddev_pop", x);
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
