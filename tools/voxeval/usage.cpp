#include "usage.h"

namespace voxeval {

const char kUsage[] =
    R"(voxeval: evaluate VOXEvalExpressions formulas from the command line.

Usage:
  voxeval 'EXPR' [NAME=VALUE ...]        evaluate once, print the value
  voxeval --check 'EXPR' [NAME=VALUE ...] syntax check and compile verdicts
  voxeval --deps 'EXPR' [NAME=VALUE ...]  does it read space, does it read time
  voxeval --explain 'EXPR' [NAME=VALUE ...] how the library reads it, the value
  voxeval --csv FILE -e EXPR ... [NAME=VALUE ...]     one row out per row in
  voxeval --grid NAME=START:STOP:COUNT ... -e EXPR ... [--plot FILE.svg]

Values:
  NAME=VALUE sets a variable before the formulas compile. A name the library
  does not know becomes a new variable (it starts with an ASCII letter or '_'
  and goes on with ASCII letters, digits and '_', or starts with a character
  outside ASCII, such as ρ). Setting pi changes the
  constant for the formulas given in the same call. Values are decimal
  numbers such as 2, -1.5 or 6.02e23; inf and nan are refused.
  The value is printed in the shortest form that reads back exactly.

Options:
  --check          print whether the syntax check accepts EXPR and whether
                   it compiles; when they disagree, say why in words
  --deps           print "space: yes|no" (reads x, y, z, r, phi or theta)
                   and "time: yes|no" (reads t)
  --explain        print how the library reads EXPR, then its value:
                     groups:  the items of each group as the compiled formula
                              holds them; ( ) a group in parentheses, [ ] an
                              operator's operand made a group by priority
                     same as: a formula that gives the same value with
                              nothing implicit: every group in parentheses,
                              a sign standing for a value shown as 0, what
                              is dropped left out
                     note:    each sign, operator or value that does not do
                              what it seems, and each value that is not
                              finite and so counts as 0
  --csv FILE       read points from FILE ('-' for standard input): the first
                   line names the variables, each further line is one point;
                   blank lines are skipped, fields may be quoted with '"'
  --grid NAME=START:STOP:COUNT
                   sweep NAME over COUNT evenly spaced values from START to
                   STOP; several --grid give every combination, the first
                   varying slowest
  -e, --expr EXPR  an output column, headed by the formula's text
  -e, --expr NAME=EXPR
                   an output column headed NAME
  --plot FILE.svg  with exactly one --grid: draw the output columns over the
                   swept variable as an SVG line chart instead of printing CSV
  -h, --help       this text
  --version        the version
  --               what follows is not an option (for a formula that starts
                   with "--")

  Batch runs write CSV to standard output: the input columns, then one column
  per -e. Each formula is compiled once and evaluated for every row. On a
  terminal, runs longer than a second show their progress on standard error.

Exit status:
  0  success
  1  a file cannot be read or written, or memory ran out
  2  usage: unknown option, missing or malformed option value, bad --grid
  3  a formula does not compile (the library gives no position; voxeval
     shows the syntax check's verdict and the likely cause)
  4  a NAME=VALUE is malformed, not a number, or names something that
     is not a variable
  5  the CSV input is malformed: a row with the wrong number of fields, a
     field that is not a number, a header that cannot name variables
     (the message gives the line)
  6  a formula or name is not valid UTF-8
  7  --check: the formula compiles but the syntax check rejects it

The language, briefly:
  + - * / ^ and parentheses; ^ binds tighter than * and /, which bind
  tighter than + and -. Equal priorities go left to right, ^ too:
  2^3^2 = 64. There is no unary minus: a leading sign works on 0
  (-2^2 = -4); after an operator it does not negate what follows:
  2*-3 = -3, 1+2*-3 = 0 (--explain shows why); write 2*(-3). An operator's
  operand that holds a tighter operator is a group of its own: 1+2*3 is
  1+(2*3). A group that is not finite counts as 0: 1+1/0 = 1, but
  1/0+1 = 0. Functions sin cos tan exp log take their
  argument in parentheses. Names are case-sensitive. Predefined variables:
  x y z r phi theta t Density AbsVelosity PoreSize DinViscosity Re {SI}
  {Unit} (all 0 until set); pi = 3.1415926 unless set; gol is a
  placeholder worth 0. Results that are not finite (1/0, log(0)) come out
  as 0.

Examples:
  voxeval '2*x+sin(t)' x=1.5 t=0.5
  voxeval 'rho*AbsVelosity^2/2' rho=1000 AbsVelosity=3
  voxeval --check '1 '
  voxeval --deps 'sin(x)*t'
  voxeval --explain '1+x*-y' x=2 y=3
  voxeval --csv points.csv -e 'x^2+y^2' --expr 'dist=exp(log(x*x+y*y)/2)'
  printf 'x,t\n1,2\n3,4\n' | voxeval --csv - -e 'x*t'
  voxeval --grid x=0:1:3 --grid t=0:10:2 -e 'x+t'
  voxeval --grid x=0:6.2831853:101 -e 'sin(x)' -e 'cos(x)' --plot trig.svg
)";

} // namespace voxeval
