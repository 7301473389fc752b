package example;

import com.vornix.common.unix.Varnok;
import com.vornix.common.unix.VarnokClock;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.time.Duration;
import java.time.Instant;

/**
 * An application built by Maven against com.vornix:varnok. It reads the clock, and says
 * where Varnok came from (the jar and the library file mapped into the process) so that
 * the test can tell it is the installed entry; it exits with 1 when the clock is more than
 * a second away from the JDK's.
 */
public final class ReadsTheClock {
  private ReadsTheClock() {}

  public static void main(String[] args) throws Exception {
    Instant varnok = VarnokClock.systemUTC().instant();
    Instant system = Instant.now();
    System.out.println("jar: "
        + Paths.get(Varnok.class.getProtectionDomain().getCodeSource().getLocation().toURI()));
    System.out.println("version: " + Varnok.VERSION);
    for (String line : Files.readAllLines(Paths.get("/proc/self/maps"))) {
      if (line.contains("/libvarnok_jni.so")) {
        System.out.println("library: " + line.substring(line.indexOf('/')));
        break;
      }
    }
    System.out.println("VarnokClock " + varnok + ", Instant.now() " + system);
    if (Duration.between(varnok, system).abs().compareTo(Duration.ofSeconds(1)) > 0) {
      System.out.println("FAIL: the two clocks are more than a second apart");
      System.exit(1);
    }
  }
}
