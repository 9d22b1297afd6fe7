#!/usr/bin/perl
# wordlists.pl SEED COUNT DIR [932]: COUNT random word lists for the round trip of
# roundtrip.sh, the same ones for the same SEED. For list I it writes DIR/I.typed, the words as an administrator
# types them after "tolvard reg SVCNAME EXENAME" (one line, no line end), and DIR/I.expected,
# the words as the child must see them, "argv[K]=<word>" from K = 2 (argv[1] is the probe's
# own first word), then "end".
#
# Words mix letters, blanks, tabs, quotes, runs of backslashes, bytes 128-255, a few control
# bytes and empty words, in code page 1252: no byte is a DBCS lead byte. With 932, the bytes
# above 127 are Shift-JIS instead: double-byte characters (a lead byte and a second byte, which
# may be 5C, the byte of a backslash) and single-byte katakana. Left out: NUL,
# CR and LF (the typed text is one line) and "%" (the image path is expandable: %NAME% may be
# replaced by a variable). Each word is typed in one of the forms tolvard's own rule reads back
# as that word, picked at random, and the typed text is checked against a separate reading by
# that rule before it is written.
use strict;
use warnings;
use Encode ();

my ($seed, $count, $dir, $code_page) = @ARGV;
die "usage: wordlists.pl SEED COUNT DIR [932]\n" unless defined $dir;
my $dbcs = defined $code_page && $code_page eq '932';
srand($seed);

sub is_lead { my $b = ord(shift); return $dbcs && (($b >= 0x81 && $b <= 0x9F) || ($b >= 0xE0 && $b <= 0xFC)); }

# The characters of a text: with 932, a lead byte and the byte after it are one.
sub chars {
    my @b = split(//, shift);
    my @c;
    for (my $i = 0; $i < @b; $i++) {
        if (is_lead($b[$i]) && $i + 1 < @b) {
            push @c, $b[$i] . $b[$i + 1];
            $i++;
        } else {
            push @c, $b[$i];
        }
    }
    return @c;
}

# A character above 127 of the code page. Under 932 only characters that the code page assigns:
# others do not come back from Unicode as they were.
sub high_char {
    return chr(128 + int(rand(128))) unless $dbcs;
    return chr(0xA1 + int(rand(0x3F))) if rand() < 0.2;
    for (;;) {
        my $lead = rand() < 0.8 ? 0x81 + int(rand(0x1F)) : 0xE0 + int(rand(0x0B));
        # 5C often: the second byte that looks like a backslash.
        my $trail = rand() < 0.3 ? 0x5C : (0x40 + int(rand(0xBD)));
        my $pair = chr($lead) . chr($trail);
        my $copy = $pair; # FB_QUIET takes what it decoded off its input
        my $text = Encode::decode('cp932', $copy, Encode::FB_QUIET);
        return $pair if length($text) == 1 && Encode::encode('cp932', $text) eq $pair;
    }
}

my @plain = ('a' .. 'z', 'A' .. 'Z', '0' .. '9', split(//, "-_.:=,*?<>|&^()[]{}!'\@#\$~;/+"));
my @control = ("\x01", "\x0b", "\x1b", "\x7f");

sub pick { return $_[int(rand(@_))]; }

sub random_word {
    return '' if rand() < 0.08;
    my $word = '';
    for (1 .. 1 + int(rand(10))) {
        my $r = rand();
        if    ($r < 0.40) { $word .= pick(@plain); }
        elsif ($r < 0.52) { $word .= ' '; }
        elsif ($r < 0.57) { $word .= "\t"; }
        elsif ($r < 0.67) { $word .= '"'; }
        elsif ($r < 0.80) { $word .= '\\' x (1 + int(rand(4))); }
        elsif ($r < 0.97) { $word .= high_char(); }
        else              { $word .= pick(@control); }
    }
    return $word;
}

# A stretch written outside or inside quotes: a quote becomes \". A backslash before it stays
# as it is, since only the backslash right before a quote escapes it.
sub escape { return join('', map { $_ eq '"' ? '\\"' : $_ } chars(shift)); }

sub typed_form {
    my $word = shift;
    return '""' if $word eq '';
    my $blank = $word =~ /[ \t]/;
    my $quote = $word =~ /"/;
    if (!$blank && !$quote) {
        return rand() < 0.8 ? $word : whole_quoted($word);
    }
    if (!$blank) {
        return rand() < 0.5 ? escape($word) : whole_quoted($word);
    }
    return rand() < 0.6 ? whole_quoted($word) : part_quoted($word);
}

# "..." around the word, but a closing run of backslashes after the closing quote: inside, a
# backslash before the quote would make it a literal quote.
sub whole_quoted {
    my @c = chars(shift);
    my $tail = '';
    $tail = pop(@c) . $tail while @c && $c[-1] eq '\\';
    return '"' . escape(join('', @c)) . '"' . $tail;
}

# Quotes around the stretch from the first to the last blank only; the opening quote goes
# before any backslashes that stand right before that stretch, for the same reason.
sub part_quoted {
    my @c = chars(shift);
    my ($first) = grep { $c[$_] =~ /^[ \t]$/ } 0 .. $#c;
    my ($last) = reverse grep { $c[$_] =~ /^[ \t]$/ } 0 .. $#c;
    $first-- while $first > 0 && $c[$first - 1] eq '\\';
    return escape(join('', @c[0 .. $first - 1])) . '"'
      . escape(join('', @c[$first .. $last])) . '"'
      . escape(join('', @c[$last + 1 .. $#c]));
}

# tolvard's rule, read independently: blanks and tabs separate; \" is a quote; "..." quotes.
sub split_typed {
    my @c = chars(shift);
    my (@words, $word, $quoted);
    my $i = 0;
    while ($i < @c) {
        if (!$quoted && $c[$i] =~ /[ \t]/) {
            push @words, $word if defined $word;
            undef $word;
            $i++;
            next;
        }
        $word //= '';
        if ($c[$i] eq '\\' && $i + 1 < @c && $c[$i + 1] eq '"') {
            $word .= '"';
            $i += 2;
        } elsif ($c[$i] eq '"') {
            $quoted = !$quoted;
            $i++;
        } else {
            $word .= $c[$i++];
        }
    }
    push @words, $word if defined $word;
    return @words;
}

for my $list (1 .. $count) {
    my @words = map { random_word() } 1 .. int(rand(7));
    my $typed = join('', map { typed_form($_) . pick(' ', "\t", '  ', " \t") } @words);
    my @back = split_typed($typed);
    die "list $list: the typed text does not read back as its words\n"
      unless join("\0", @back) eq join("\0", @words) && @back == @words;
    open(my $t, '>:raw', "$dir/$list.typed") or die "$dir/$list.typed: $!\n";
    print $t $typed;
    close($t);
    open(my $e, '>:raw', "$dir/$list.expected") or die "$dir/$list.expected: $!\n";
    printf $e "argv[%d]=<%s>\n", $_ + 2, $words[$_] for 0 .. $#words;
    print $e "end\n";
    close($e);
}
