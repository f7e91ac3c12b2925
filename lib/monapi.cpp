// monapi.cpp - the generic handle API: check the magic, check the slot, call it.
// The layer keeps no state. A refusal is logged and never touches the handle;
// when a call is accepted, the slot's own result is returned unchanged.  Every
// opener builds its handle here, so each kind starts out refused (0xdeadbeef)
// with its slots, private part and path in place.

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "monitor.h"
#include "monapi_internal.h"

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

// Fills a zeroed handle: not yet open, its transport's calls, its private
// part and its path (cut to fit, the rest left zero).
void HandleSet(MonHandle_t *h, const quelm::HandleOps &ops, void *priv, const char *path) noexcept {
    h->magic = MON_MAGIC_DEAD;
    h->openFn = ops.open;
    h->closeFn = ops.close;
    h->putFn = ops.put;
    h->getFn = ops.get;
    h->getNextFn = ops.getNext;
    h->priv = priv;
    if (path != nullptr) memcpy(h->path, path, strnlen(path, MON_PATH_SIZE - 1));
}

}  // namespace

namespace quelm {

MonHandle_t *HandleNew(const HandleOps &ops, size_t privSize, const char *path,
                       void *(*alloc)(size_t, size_t)) noexcept {
    auto *h = static_cast<MonHandle_t *>(alloc(1, sizeof(MonHandle_t)));
    void *priv = alloc(1, privSize);
    if (h == nullptr || priv == nullptr) {
        free(priv);
        free(h);
        errno = ENOMEM;
        return nullptr;
    }
    HandleSet(h, ops, priv, path);
    return h;
}

void HandleRenew(MonHandle_t *h, const HandleOps &ops, size_t privSize, const char *path) noexcept {
    void *priv = h->priv;
    memset(priv, 0, privSize);
    memset(h, 0, sizeof *h);
    HandleSet(h, ops, priv, path);
}

void HandleFree(MonHandle_t *h) noexcept {
    if (h == nullptr) return;
    h->magic = MON_MAGIC_DEAD;
    free(h->priv);
    free(h);
}

}  // namespace quelm

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
