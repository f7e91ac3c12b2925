// monapi.cpp - the generic handle API: check the magic, check the slot, call it.
// The layer keeps no state. A refusal is logged and never touches the handle;
// when a call is accepted, the slot's own result is returned unchanged.

#include <cerrno>
#include <initializer_list>

#include "monitor.h"

namespace {

bool MagicIn(const MonHandle_t *h, std::initializer_list<uint32_t> accepted) {
    for (uint32_t m : accepted)
        if (h->magic == m) return true;
    return false;
}

// Logs a refusal with the handle's address and returns -1.
int Refuse(const char *format, const MonHandle_t *h) {
    QxLogUpdate(nullptr, 1, 1, format, reinterpret_cast<unsigned long>(h));
    errno = EINVAL; // a refusal must not leave the caller an errno of before
    return -1;
}

}  // namespace

extern "C" int QxMonClose(MonHandle_t *h) {
    if (h == nullptr) return -1;
    if (!MagicIn(h, {MON_MAGIC_STORE, MON_MAGIC_FIFO, MON_MAGIC_VIEWER, MON_MAGIC_PROXY,
                     MON_MAGIC_SPARE, MON_MAGIC_MUTEX}) ||
        h->closeFn == nullptr)
        return Refuse("QxMonClose(): bad handle=0x%lx specified", h);
    return h->closeFn(h);
}

extern "C" int QxMonSendData(MonHandle_t *h, const MonData_t *rec) {
    if (h == nullptr ||
        !MagicIn(h, {MON_MAGIC_STORE, MON_MAGIC_FIFO, MON_MAGIC_VIEWER, MON_MAGIC_SPARE}) ||
        h->putFn == nullptr)
        return Refuse("QxMonSendData: invalid handle=0x%lx specified", h);
    return h->putFn(h, rec);
}

extern "C" int QxMonRecvData(MonHandle_t *h, MonData_t *rec) {
    if (h == nullptr || !MagicIn(h, {MON_MAGIC_STORE, MON_MAGIC_VIEWER}) || h->getFn == nullptr)
        return Refuse("QxMonRecvData: invalid handle=0x%lx specified", h);
    return h->getFn(h, rec);
}

extern "C" int QxMonRecvNextData(MonHandle_t *h, int mode, MonData_t *rec) {
    if (h == nullptr || !MagicIn(h, {MON_MAGIC_STORE, MON_MAGIC_FIFO, MON_MAGIC_VIEWER}) ||
        h->getNextFn == nullptr)
        return Refuse("QxMonRecvNextData : invalid handle=0x%lx specified", h);
    return h->getNextFn(h, mode, rec);
}
