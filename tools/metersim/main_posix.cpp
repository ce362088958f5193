// metersim: serves simulated meters on a pseudo-terminal, so a KMP master (kmptool read --port)
// can be tried end to end without hardware.
int main() { return 0; }
