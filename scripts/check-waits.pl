#!/usr/bin/env perl
# Fails when a test waits with a literal time: every wait and bound in tests/
# goes through testsupport::patient (tests/support/Patience.h), which the
# sanitizer build stretches. Looked at: QTRY_*_WITH_TIMEOUT, QTest::qWait and
# qWaitFor*, wait(ms) (QSignalSpy and the like), QProcess's and QIODevice's
# waitFor*(ms), and the scripted server's waitForRequestCount(n, ms).
# A time of 0 (let pending events run) is not a wait.
#   perl scripts/check-waits.pl [tests-folder]
use strict;
use warnings;
use File::Find;

my $root = shift // 'tests';
my @files;
find(sub { push @files, $File::Find::name if /\.(cpp|h)$/ && $_ ne 'Patience.h' }, $root);

# Which argument holds the time, by the called name: a number, or 'last'.
sub time_arg {
    my ($name, $count) = @_;
    return 'last' if $name =~ /^QTRY_\w+_WITH_TIMEOUT$/;
    return 0 if $name eq 'qWait';
    return 1 if $name =~ /^qWaitFor/;
    return 1 if $name eq 'waitForRequestCount';
    return 0 if $name =~ /^waitFor(Finished|Started|ReadyRead|BytesWritten|Connected|Disconnected|NewConnection|Encrypted)$/;
    return $count == 1 ? 0 : undef if $name eq 'wait';
    return undef;
}

# The arguments of the call whose "(" is at $open, split at top-level commas.
sub arguments {
    my ($text, $open) = @_;
    my ($depth, $start, @args) = (0, $open + 1);
    for (my $i = $open; $i < length $text; ++$i) {
        my $c = substr($text, $i, 1);
        if ($c eq '"' || $c eq "'") {
            my $q = $c;
            for (++$i; $i < length $text; ++$i) {
                my $d = substr($text, $i, 1);
                if ($d eq '\\') { ++$i; next }
                last if $d eq $q;
            }
            next;
        }
        if ($c eq '(' || $c eq '[' || $c eq '{') { ++$depth; next }
        if ($c eq ')' || $c eq ']' || $c eq '}') {
            --$depth;
            if ($depth == 0) {
                push @args, substr($text, $start, $i - $start);
                return @args;
            }
            next;
        }
        if ($c eq ',' && $depth == 1) {
            push @args, substr($text, $start, $i - $start);
            $start = $i + 1;
        }
    }
    return @args;
}

my $failures = 0;
for my $file (sort @files) {
    open my $fh, '<', $file or die "$file: $!";
    my $text = do { local $/; <$fh> };
    close $fh;
    # Comments out, lengths kept so that positions still give line numbers.
    $text =~ s{//[^\n]*}{' ' x length $&}ge;
    $text =~ s{/\*.*?\*/}{my $m = $&; $m =~ s/[^\n]/ /g; $m}gse;
    while ($text =~ /\b(QTRY_\w+_WITH_TIMEOUT|qWait\w*|wait\w*)\s*\(/g) {
        my ($name, $open) = ($1, $+[0] - 1);
        my @args = arguments($text, $open);
        my $which = time_arg($name, scalar @args);
        next unless defined $which && @args;
        my $arg = $which eq 'last' ? $args[-1] : $args[$which];
        next unless defined $arg;
        # What patient(...) wraps is fine; strip it, balanced.
        1 while $arg =~ s/\bpatient\s*\((?:[^()]|\((?:[^()]|\([^()]*\))*\))*\)/P/g;
        (my $bare = $arg) =~ s/[A-Za-z_]\w*//g; # digits inside names do not count
        next unless $bare =~ /\d/;
        next if $arg =~ /^\s*0\s*$/;
        my $line = 1 + (substr($text, 0, $open) =~ tr/\n//);
        $arg =~ s/\s+/ /g;
        print "$file:$line: $name waits a literal time ($arg); use testsupport::patient\n";
        ++$failures;
    }
}
if ($failures) {
    print "check-waits: $failures wait(s) with a literal time\n";
    exit 1;
}
print "check-waits: every wait in $root goes through patient\n";
