/* The chief header alone is enough for a C99 program: it compiles with the C
 * compiler, and the records have the sizes the file and wire formats fix. */
#include <quelm/monitor.h>

#include <stdio.h>
#include <string.h>

typedef char check_record_size[sizeof(MonData_t) == 2060 ? 1 : -1];
typedef char check_conn_size[sizeof(MonConnInfo_t) == 2284 ? 1 : -1];
typedef char check_header_size[sizeof(ShelfHeader_t) == 124 ? 1 : -1];

int main(void) {
    MonData_t rec;
    unsigned char msg[MON_MSG_MAX];
    char key[MON_KEYSTR_SIZE];
    int n;

    memset(&rec, 0, sizeof rec);
    rec.pid = 1234;
    rec.handleNum = 26;
    rec.recordNum = 7;
    strcpy(rec.text1, "alice");
    n = ParcelPutData(&rec, msg);
    if (n != MON_MSG_HEADER + 6) {
        fprintf(stderr, "encoded %d bytes\n", n);
        return 1;
    }
    memset(&rec, 0xff, sizeof rec);
    if (ParcelGetDataChecked(&rec, msg, (size_t)n) != n || strcmp(rec.text1, "alice") != 0)
        return 1;
    if (strcmp(MonKeyStr(rec.pid, rec.handleNum, rec.recordNum, key), "<1234,1a,7>") != 0)
        return 1;
    if (QxMonClose(NULL) != -1) return 1;
    printf("%s\n", key);
    return 0;
}
