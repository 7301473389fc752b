package com.vornix.common.unix.tests;

/**
 * A minimal test harness (no JUnit on the build machines): one line per check, a closing
 * "N passed, N failed" line, and a non-zero exit status when anything failed.
 */
final class Checks {
  /** A group of related checks; anything it throws counts as one failed check. */
  interface Group {
    void run() throws Exception;
  }

  private int passed;
  private int failed;

  void check(String name, boolean ok, String detail) {
    if (ok) {
      passed++;
      System.out.println("PASS " + name);
    } else {
      failed++;
      System.out.println("FAIL " + name + ": " + detail);
    }
  }

  void group(String name, Group group) {
    System.out.println("-- " + name);
    try {
      group.run();
    } catch (Throwable t) {
      failed++;
      System.out.println("FAIL " + name + " threw:");
      t.printStackTrace(System.out);
    }
  }

  /** Prints the summary and ends the JVM, with status 1 when a check failed. */
  void finish() {
    if (passed + failed == 0) {
      failed++;
      System.out.println("FAIL no check ran");
    }
    System.out.println(passed + " passed, " + failed + " failed");
    System.out.flush();
    System.exit(failed == 0 ? 0 : 1);
  }
}
