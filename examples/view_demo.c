/* view_demo.c - a viewer: connects to the warden daemon on HOST and prints
 * the records it asks for, as the commands on standard input say, one per
 * line.  A record prints as
 *   rec PID HANDLE RECORD flags=0xF a=COUNT b=COUNT status=N end=TIME text1=[..] stext=[..]
 *
 *   stream           the records changed since the last stream, then "done RESULT"
 *   all              every record, then "done RESULT"
 *   get P H R        the record with key <P,H,R>, or "none -1"
 *   quit             disconnect and exit
 *
 * Usage: view_demo HOST
 */
#include <quelm/monitor.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void Print(const MonData_t *r)
{
    printf("rec %lu %lu %u flags=0x%lx a=%lu b=%lu status=%ld end=%ld text1=[%s] stext=[%s]\n",
           (unsigned long)r->pid, (unsigned long)r->handleNum, (unsigned)r->recordNum,
           (unsigned long)r->flags, (unsigned long)r->countA, (unsigned long)r->countB,
           (long)r->status, (long)r->endTime, r->text1, r->statusText);
}

int main(int argc, char **argv)
{
    MonHandle_t *h = NULL;
    MonData_t rec;
    char line[256];

    if (argc != 2) {
        fprintf(stderr, "usage: view_demo HOST\n");
        return 2;
    }
    if (QxMonNetOpen(argv[1], MON_CLIENT_VIEWER, &h) != 0) {
        printf("open -1\n");
        return 1;
    }
    printf("open 0\n");
    fflush(stdout);

    while (fgets(line, sizeof line, stdin) != NULL) {
        unsigned long pid, handleNum, recordNum;
        int rc;

        if (strncmp(line, "stream", 6) == 0 || strncmp(line, "all", 3) == 0) {
            const int all = line[0] == 'a';
            while ((rc = QxMonRecvNextData(h, all, &rec)) == 1)
                Print(&rec);
            printf("done %d\n", rc);
        } else if (sscanf(line, "get %lu %lu %lu", &pid, &handleNum, &recordNum) == 3) {
            memset(&rec, 0, sizeof rec);
            rec.pid = (uint32_t)pid;
            rec.handleNum = (uint32_t)handleNum;
            rec.recordNum = (uint16_t)recordNum;
            rc = QxMonRecvData(h, &rec);
            if (rc == 0)
                Print(&rec);
            else
                printf("none %d\n", rc);
        } else if (strncmp(line, "quit", 4) == 0) {
            break;
        } else {
            printf("? %s", line);
        }
        fflush(stdout);
    }
    return QxMonClose(h) == 0 ? 0 : 1;
}
