// Placeholder entry point until the helper's read loop lands.
int main() {
    return 0;
}
