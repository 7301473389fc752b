package com.vornix.common.unix.tests;

import com.vornix.common.unix.VarnokTime;
import java.util.regex.Pattern;

/**
 * {@code VarnokBindingTest BINDING WORD...}: with the binding property as this JVM was started
 * with it, VarnokTime chose BINDING ({@code CRITICAL} or {@code JNI}), and its reason holds
 * each WORD, not followed by a letter or digit (so "Java 17" is not found in "Java 170"). The
 * property is read once per JVM, so each value runs in a JVM of its own.
 */
public final class VarnokBindingTest {
  public static void main(String[] args) {
    Checks checks = new Checks();
    String property = VarnokTime.BINDING_PROPERTY + "="
        + System.getProperty(VarnokTime.BINDING_PROPERTY, "(unset)");
    String reason = VarnokTime.bindingReason();
    String expected = args.length > 0 ? args[0] : "(missing argument: CRITICAL or JNI)";
    checks.check(property + " on Java " + Runtime.version().feature() + " gives " + expected,
        VarnokTime.binding().name().equals(expected),
        VarnokTime.binding() + " (" + reason + ")");
    for (int i = 1; i < args.length; i++) {
      Pattern word = Pattern.compile(Pattern.quote(args[i]) + "(?![\\p{Alnum}])");
      checks.check("its reason names \"" + args[i] + "\"", word.matcher(reason).find(), reason);
    }
    checks.finish();
  }
}
