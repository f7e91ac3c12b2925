/* A statically linked program, for warden-watch --check to refuse. */
int main(void) { return 0; }
