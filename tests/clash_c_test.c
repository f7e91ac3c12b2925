/*
 * clash_c_test.c - a C99 proxy with functions of its own named Hash, Prime,
 * MmapAlloc and HashIndex, as plenty of C programs have.  It must link
 * against the installed libquelm.a (which therefore defines none of these
 * names) and report a session that reads back from the store.  Run under
 * quelm_isolate: it creates the store in a private /tmp.  Prints the
 * session's user and destination; exits non-zero at the first failed step.
 */
#include <quelm/monitor.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The proxy's own helpers; the library's internals of the same names must
 * neither clash with them at link time nor be replaced by them. */
unsigned Hash(const char *s)
{
    unsigned h = 5381;
    while (*s != '\0')
        h = h * 33 + (unsigned char)*s++;
    return h;
}

int Prime(int n)
{
    int d;
    if (n < 2)
        return 0;
    for (d = 2; d * d <= n; ++d)
        if (n % d == 0)
            return 0;
    return 1;
}

void *MmapAlloc(size_t n)
{
    return calloc(1, n);
}

unsigned HashIndex(unsigned hash, unsigned size)
{
    return hash % size;
}

int main(void)
{
    MonHandle_t *store = NULL;
    MonHandle_t *tap = NULL;
    MonConnInfo_t *conn = MmapAlloc(sizeof *conn);
    MonData_t rec;
    int found = 0;

    if (conn == NULL || Hash("ab") != 5863208u || !Prime(2141) || Prime(2143 * 3) || HashIndex(10, 4) != 2)
        return 2;
    /* The store as the daemon makes it, then a proxy's reporting handle. */
    if (QxMonMemOpen("mon.mmap", MON_SLOT_DAEMON, &store) != 0)
        return 3;
    if (QxSocksMonOpen("mon.mmap", MON_TRANSPORT_STORE, &tap) != 0)
        return 4;
    strcpy(conn->text1, "alice");
    strcpy(conn->text2, "example.org:443");
    strcpy(conn->text3, "CONNECT");
    if (QxSocksMonPut(tap, MON_FLAG_START, conn, 0, NULL, 0, NULL) < 0)
        return 5;
    while (QxMonRecvNextData(store, 1, &rec) == 1) {
        if (strcmp(rec.text3, "CONNECT") == 0) {
            printf("%s %s\n", rec.text1, rec.text2);
            found = 1;
        }
    }
    QxSocksMonClose(tap);
    QxMonClose(store);
    free(conn);
    return found ? 0 : 6;
}
