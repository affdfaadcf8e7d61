/* The floor of the benchmark: a console program that does nothing, so its time is Wine's process
   start and exit alone. */
int main(void)
{
    return 0;
}
