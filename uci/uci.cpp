// placeholder until the command loop exists
int main() { return 0; }
