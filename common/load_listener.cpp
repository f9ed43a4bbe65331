#include "xml/load_listener.h"

void LOAD_PASSED_OVER::item(const XML_PARSER& xp) {
  if (!listener_) return;
  if (!xp.is_tag) {
    if (!open_.empty()) return;
    LOAD_ITEM item(LOAD_ITEM::STRAY_TEXT, xp.line(), "", block_);
    item.value = xp.tag_buf;
    listener_->heard(item);
    return;
  }
  const char* tag = xp.tag_buf;
  size_t n = strlen(tag);
  if (tag[0] == '/') {
    if (!open_.empty() && open_.back() == tag + 1) open_.pop_back();
    return;
  }
  bool outermost = open_.empty();
  bool self_closing = !n || tag[n - 1] == '/' || tag[0] == '?' || tag[0] == '!';
  if (!self_closing) open_.emplace_back(tag);
  if (!outermost) return;
  listener_->heard(LOAD_ITEM(LOAD_ITEM::UNKNOWN_TAG, xp.line(), tag, block_));
}

void load_heard_end(const XML_PARSER& xp, LOAD_LISTENER* listener,
                    const char* name, int line, const char* block) {
  if (listener && xp.ended()) {
    listener->heard(LOAD_ITEM(LOAD_ITEM::EARLY_END, line, name, block));
  }
}
