/* report_demo.c - a stand-in for a proxy server: reports one session at a
 * time to the warden daemon, as the commands on standard input say, one per
 * line, and answers each with "ok RESULT" (the reporting call's result).
 *
 *   start TEXT       a new session whose first text is TEXT
 *   update A B       the connection's two running counters are now A and B
 *   status N TEXT    status N with the text TEXT
 *   extra ADDR A B   an update of the additional record for the address
 *                    192.0.2.ADDR (ADDR 0 to 255)
 *   end              the session is over
 *   quit             close the handle ("closed RESULT") and exit
 *
 * Usage: report_demo TYPE    (1: through the pipe, 2: straight into the store)
 *
 * The address blocks follow the convention of <quelm/monitor.h>: a struct
 * sockaddr_in at the start of the block, the rest zero.  The client is
 * 127.0.0.1 (port 0: a stand-in has no connection to take one from).
 */
#define _POSIX_C_SOURCE 200809L

#include <quelm/monitor.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Copies src into a text field of size bytes, cut to fit. */
static void SetText(char *dst, size_t size, const char *src)
{
    size_t n = strlen(src);
    if (n >= size)
        n = size - 1;
    memcpy(dst, src, n);
    memset(dst + n, 0, size - n);
}

/* Writes the IPv4 address a.b.c.d, port 0, into an address block. */
static void SetAddr(unsigned char block[MON_ADDR_SIZE], unsigned a, unsigned b, unsigned c, unsigned d)
{
    struct sockaddr_in in;
    memset(&in, 0, sizeof in);
    in.sin_family = AF_INET;
    in.sin_port = htons(0);
    in.sin_addr.s_addr = htonl((uint32_t)(a << 24 | b << 16 | c << 8 | d));
    memset(block, 0, MON_ADDR_SIZE);
    memcpy(block, &in, sizeof in);
}

int main(int argc, char **argv)
{
    MonHandle_t *h = NULL;
    MonConnInfo_t conn;
    char line[512];
    int type;

    if (argc != 2 || (type = atoi(argv[1])) < 1) {
        fprintf(stderr, "usage: report_demo 1|2\n");
        return 2;
    }
    if (QxSocksMonOpen("report_demo", type, &h) != 0) {
        printf("open -1\n");
        return 1;
    }
    printf("open 0\n");
    fflush(stdout);

    memset(&conn, 0, sizeof conn);
    SetText(conn.text2, sizeof conn.text2, "report_demo");
    SetAddr(conn.addrA, 127, 0, 0, 1);

    while (fgets(line, sizeof line, stdin) != NULL) {
        char word[16] = "";
        char rest[400] = "";
        char text[128] = "";
        unsigned long a = 0, b = 0;
        int n = 0;
        int rc;

        line[strcspn(line, "\r\n")] = '\0';
        if (sscanf(line, "%15s %399[^\n]", word, rest) < 1)
            continue;
        if (strcmp(word, "start") == 0) {
            SetText(conn.text1, sizeof conn.text1, rest);
            conn.runCountA = 0;
            conn.runCountB = 0;
            memset(conn.addrB, 0, sizeof conn.addrB);
            rc = QxSocksMonPut(h, (int)MON_FLAG_START, &conn, (unsigned)strlen(rest), rest, 0, NULL);
        } else if (strcmp(word, "update") == 0 && sscanf(rest, "%lu %lu", &a, &b) == 2) {
            conn.runCountA = (uint32_t)a;
            conn.runCountB = (uint32_t)b;
            memset(conn.addrB, 0, sizeof conn.addrB);
            rc = QxSocksMonPut(h, (int)MON_FLAG_UPDATE, &conn, 0, NULL, 0, NULL);
        } else if (strcmp(word, "status") == 0 && sscanf(rest, "%d %127[^\n]", &n, text) == 2) {
            memset(conn.addrB, 0, sizeof conn.addrB);
            rc = QxSocksMonPut(h, (int)MON_FLAG_STATUS, &conn, 0, NULL, n, text);
        } else if (strcmp(word, "extra") == 0 && sscanf(rest, "%d %lu %lu", &n, &a, &b) == 3) {
            conn.runCountA = (uint32_t)a;
            conn.runCountB = (uint32_t)b;
            SetAddr(conn.addrB, 192, 0, 2, (unsigned)n & 0xffu);
            rc = QxSocksMonPut(h, (int)(MON_FLAG_ADDITIONAL | MON_FLAG_UPDATE), &conn, 0, NULL, 0, NULL);
        } else if (strcmp(word, "end") == 0) {
            memset(conn.addrB, 0, sizeof conn.addrB);
            rc = QxSocksMonPut(h, (int)MON_FLAG_END, &conn, 0, NULL, 0, NULL);
        } else if (strcmp(word, "quit") == 0) {
            break;
        } else {
            printf("? %s\n", line);
            fflush(stdout);
            continue;
        }
        printf("ok %d\n", rc);
        fflush(stdout);
    }
    printf("closed %d\n", QxSocksMonClose(h));
    return 0;
}
