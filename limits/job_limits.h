// Caps on jobs in progress: for the whole project and per application, each
// for all jobs together, for CPU jobs and for GPU jobs. The library only
// stores them; the programs that hand out work consult them.
//
// Block format read by the parse members (any order, any number of times):
//   <project> or <app> job-limit blocks, each holding
//     <app_name>text</app_name>,
//     <total_limit>, <cpu_limit>, <gpu_limit> resource blocks, each holding
//       <jobs>integer</jobs> and <per_proc>flag</per_proc>.
// Anything else is passed over one item at a time, so a known tag wrapped in
// a foreign element is still read.
#ifndef ORVEX_LIMITS_JOB_LIMITS_H
#define ORVEX_LIMITS_JOB_LIMITS_H

#include <vector>

#include "xml/load_listener.h"
#include "xml/xml_parser.h"

// For all three parse members: the caller has consumed the block's opening
// tag with xp and passes the closing tag's text with its "/" (e.g.
// "/cpu_limit"). Result 0: xp stands just after that closing tag;
// ERR_XML_INPUT: the input ended first, and what was read so far is kept.
// listener, when not null, hears each value stored or not converted, each
// unknown element and stray text (LOAD_PASSED_OVER) and each <app> dropped
// for want of a name (NO_NAME), the block being end_tag without its "/".

// One resource's cap.
struct RSC_JOB_LIMIT {
  int jobs = 0;
  int aux_a = 0;  // kept for the programs; never read or written here
  int aux_b = 0;
  bool per_proc = false;  // jobs counts per processor of the resource

  // Sets per_proc false first (a block without <per_proc> means false);
  // jobs keeps its earlier value unless the block gives one.
  int parse(XML_PARSER& xp, const char* end_tag,
            LOAD_LISTENER* listener = nullptr);
};

// The caps of one application, or of the whole project. A plain value.
struct JOB_LIMIT {
  char app_name[256] = {};
  RSC_JOB_LIMIT total_limit;
  RSC_JOB_LIMIT cpu_limit;
  RSC_JOB_LIMIT gpu_limit;

  // Resets nothing: fields the block does not name keep their values.
  int parse(XML_PARSER& xp, const char* end_tag,
            LOAD_LISTENER* listener = nullptr);
};

struct JOB_LIMITS {
  JOB_LIMIT project_limit;
  std::vector<JOB_LIMIT> app_limits;  // named <app> blocks, document order

  // A second <project> block overwrites field by field. Each <app> block
  // is read into a fresh JOB_LIMIT and appended when it has a name; one
  // without logs "missing app name" (KIND_NORMAL) and is dropped.
  int parse(XML_PARSER& xp, const char* end_tag,
            LOAD_LISTENER* listener = nullptr);
};

#endif
