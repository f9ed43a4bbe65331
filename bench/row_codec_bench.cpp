// The client's CPU cost of one row of the project's tables: db_print of a
// record (what update and insert format) and db_parse of a fetched row (what
// lookup and enumerate do per row). No server: the row is the texts the
// server would send for the same record.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/db_rows.h"
#include "common/str_util.h"

namespace {

void fill(DB_HOST& h) {
  h.id = 48213;
  h.create_time = 1700000000;
  h.userid = 912;
  h.rpc_seqno = 311;
  h.rpc_time = 1733000000;
  h.total_credit = 123456.78125;
  h.expavg_credit = 311.2;
  h.expavg_time = 1733000000.5;
  h.timezone = 3600;
  strlcpy(h.domain_name, "node-17.lab.example.org", sizeof h.domain_name);
  strlcpy(h.last_ip_addr, "192.0.2.17", sizeof h.last_ip_addr);
  strlcpy(h.external_ip_addr, "198.51.100.4", sizeof h.external_ip_addr);
  strlcpy(h.host_cpid, "9f86d081884c7d659a2feaa0c55ad015", sizeof h.host_cpid);
  h.p_ncpus = 16;
  strlcpy(h.p_vendor, "GenuineIntel", sizeof h.p_vendor);
  strlcpy(h.p_model, "Intel(R) Core(TM) i7-10700 CPU @ 2.90GHz [Family 6]",
          sizeof h.p_model);
  h.p_fpops = 4.3e9;
  h.p_iops = 1.21e10;
  h.p_membw = 1e9;
  strlcpy(h.os_name, "Linux Debian", sizeof h.os_name);
  strlcpy(h.os_version, "Debian GNU/Linux 12 (bookworm) [6.1.0-13-amd64]",
          sizeof h.os_version);
  h.m_nbytes = 33554432000;
  h.m_cache = 16777216;
  h.m_swap = 2147483648;
  h.d_total = 502000000000;
  h.d_free = 231000000000.25;
  h.n_bwup = 120000.5;
  h.n_bwdown = 950000.75;
  h.avg_turnaround = 86400.125;
  h.credit_per_cpu_sec = 0.0021;
  strlcpy(h.venue, "home", sizeof h.venue);
  h.nresults_today = 42;
  h.error_rate = 0.0125;
  h.max_results_day = 320;
}

void fill(DB_RESULT& r) {
  r.id = 9812345;
  r.create_time = 1733000000;
  r.workunitid = 4906171;
  r.server_state = RESULT_SERVER_STATE_OVER;
  r.outcome = RESULT_OUTCOME_SUCCESS;
  r.client_state = 5;
  r.hostid = 48213;
  r.userid = 912;
  r.report_deadline = 1733600000;
  r.sent_time = 1733000100;
  r.received_time = 1733050000;
  strlcpy(r.name, "sim_4906171_0", sizeof r.name);
  r.cpu_time = 18234.567;
  strlcpy(r.xml_doc_out,
          "<file_info>\n<name>sim_4906171_0_r0</name>\n<nbytes>183204</nbytes>"
          "\n<md5_cksum>e3b0c44298fc1c149afbf4c8996fb924</md5_cksum>\n"
          "</file_info>\n",
          sizeof r.xml_doc_out);
  strlcpy(r.stderr_out,
          "<stderr_txt>\nstarting run 'alpha'\nC:\\work\\slot3 ok\ndone\n"
          "</stderr_txt>\n",
          sizeof r.stderr_out);
  r.batch = 7;
  r.validate_state = 1;
  r.granted_credit = 181.35;
  r.random = 1723421;
  r.app_version_num = 712;
  r.appid = 3;
  r.priority = 1;
  r.elapsed_time = 18800.25;
  r.flops_estimate = 4.3e9;
  r.app_version_id = 55;
}

// The column texts of a row as the server sends them, taken from the
// record's own assignment list: values split at ", " outside quotes, texts
// unquoted and unescaped.
std::vector<std::string> row_texts(TABLEROW& row) {
  std::unique_ptr<char[]> list(new char[QUERY_TEXT_MAX]);
  row.db_print(list.get());
  std::vector<std::string> texts;
  const char* p = list.get();
  while (*p) {
    p = strchr(p, '=') + 1;
    std::string value;
    if (*p == '\'') {
      for (p++; *p != '\''; p++) {
        if (*p == '\\') p++;
        value += *p;
      }
      p++;
    } else {
      while (*p && *p != ',') value += *p++;
    }
    texts.push_back(value);
    if (*p == ',') p += 2;
  }
  return texts;
}

template <typename ROW>
void BM_RowPrint(benchmark::State& state) {
  ROW row;
  fill(row);
  std::unique_ptr<char[]> dest(new char[QUERY_TEXT_MAX]);
  for (auto _ : state) {
    row.db_print(dest.get());
    benchmark::DoNotOptimize(dest.get());
  }
  state.SetItemsProcessed(state.iterations());
}

template <typename ROW>
void BM_RowParse(benchmark::State& state) {
  ROW filled;
  fill(filled);
  std::vector<std::string> texts = row_texts(filled);
  std::vector<char*> columns;
  for (std::string& t : texts) columns.push_back(&t[0]);
  MYSQL_ROW row = columns.data();
  ROW parsed;
  for (auto _ : state) {
    parsed.db_parse(row);
    benchmark::DoNotOptimize(&parsed);
  }
  if (parsed.id != filled.id) state.SkipWithError("row read back differs");
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RowPrint<DB_HOST>)->Name("BM_RowPrintHost");
BENCHMARK(BM_RowPrint<DB_RESULT>)->Name("BM_RowPrintResult");
BENCHMARK(BM_RowParse<DB_HOST>)->Name("BM_RowParseHost");
BENCHMARK(BM_RowParse<DB_RESULT>)->Name("BM_RowParseResult");

}  // namespace
