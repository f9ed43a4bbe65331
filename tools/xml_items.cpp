// xml-items FILE: prints what the tag reader delivers for a document, one
// line per item, so that settings authors can see how their file is read.
//
//   tag    NAME           [attributes: TEXT]
//   text   TEXT
//   cdata  TEXT
//
// Bytes outside printable ASCII are shown as \xNN. "-" reads standard input.
#include <cstdio>
#include <cstring>

#include "xml/xml_parser.h"

static void print_escaped(const char* s) {
  for (; *s; s++) {
    unsigned char c = static_cast<unsigned char>(*s);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      putchar(c);
    } else {
      printf("\\x%02x", c);
    }
  }
}

int main(int argc, char** argv) {
  if (argc != 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
    fprintf(stderr, "usage: xml-items FILE   (- for standard input)\n");
    return argc == 2 ? 0 : 2;
  }
  FILE* f = strcmp(argv[1], "-") ? fopen(argv[1], "r") : stdin;
  if (!f) {
    fprintf(stderr, "xml-items: cannot open %s\n", argv[1]);
    return 1;
  }
  MIOFILE mf;
  XML_PARSER xp(&mf);
  mf.init_file(f);
  char attrs[TAG_BUF_LEN];
  int items = 0;
  for (;;) {
    int kind = xp.get_aux(xp.tag_buf, TAG_BUF_LEN, attrs, sizeof attrs);
    if (kind == SCAN_END) break;
    items++;
    printf("%-6s ", kind == SCAN_TAG     ? "tag"
                    : kind == SCAN_CDATA ? "cdata"
                                         : "text");
    print_escaped(xp.tag_buf);
    if (kind == SCAN_TAG && attrs[0]) {
      printf("   [attributes: ");
      print_escaped(attrs);
      putchar(']');
    }
    putchar('\n');
  }
  printf("(%d items, end of input)\n", items);
  if (f != stdin) fclose(f);
  return 0;
}
