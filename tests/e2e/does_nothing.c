/* Not shipped: a program that only ends, built at each width. The end-to-end harness
   starts the 32-bit one to find out whether this machine's Wine can run 32-bit programs
   at all (tests/harness/runs-32-bit). */
int main(void)
{
    return 0;
}
