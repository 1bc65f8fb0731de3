// Entry point; replaced by the real program as the server grows.
int main() { return 0; }
