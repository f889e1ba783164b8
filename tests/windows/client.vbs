' The driver through late binding, as a script host calls it: every IMachine_ method of
' VANTO.clsMachine, against the simulated site (tests/windows/site.seed). Port 1 is a serial line,
' port 2 a network line; both come from the control's settings. Prints one line per answer, in the
' same form as client.cpp, so the outputs compare line by line.
'
'   client.vbs [STEP...]    the steps in the order given (default: scenario): "scenario" the above;
'                           the failure cases, each answering its failure (the script runtime
'                           words the dispatch ones): "missing" a terminal that is not there,
'                           "bad" a text where an Integer goes, "few" too few arguments,
'                           "nothing" Nothing for the list, "unregistered" an unregistered class.
Option Explicit

Dim m, i

' Every line is written in ASCII: each character outside it (and the backslash) as the bytes of its
' code in the system's code page, \xHH each; the stage turns them back into text. Wine's script
' host damages its own heap when it writes a line holding characters outside ASCII to a redirected
' output (a script that only echoes such a text, with none of our components loaded, crashes it as
' the process ends). (Asc: Wine's script engine has no AscW.)
Function Escaped(text)
  Dim i, c, code, digits
  Escaped = ""
  For i = 1 To Len(text)
    c = Mid(text, i, 1)
    code = Asc(c)
    If code < 32 Or code > 126 Or c = "\" Then
      digits = Hex(code)
      If Len(digits) Mod 2 = 1 Then digits = "0" & digits
      Do While Len(digits) > 0
        Escaped = Escaped & "\x" & Left(digits, 2)
        digits = Mid(digits, 3)
      Loop
    Else
      Escaped = Escaped & c
    End If
  Next
End Function

Sub Say(text)
  WScript.Echo Escaped(text)
End Sub

Function Truth(ok)
  If ok Then Truth = "True" Else Truth = "False"
End Function

Sub Show(name, ok, msg)
  Say name & " " & Truth(ok) & " [" & msg & "]"
End Sub

Function TwoDigits(v)
  TwoDigits = Right("0" & CStr(v), 2)
End Function

Function TimeText(t)
  TimeText = Year(t) & "-" & TwoDigits(Month(t)) & "-" & TwoDigits(Day(t)) & " " & _
             TwoDigits(Hour(t)) & ":" & TwoDigits(Minute(t))
End Function

' The driver leaves what it read as the row set's pending row: committing is the host's business.
Sub ShowRows(rs)
  On Error Resume Next
  rs.Update
  On Error GoTo 0
  Say "rows " & rs.RecordCount
  If rs.RecordCount = 0 Then Exit Sub
  rs.MoveFirst
  Do While Not rs.EOF
    Dim print
    ' (Wine's script engine cannot take a Byte() apart, so only its presence is shown.)
    If IsNull(rs.Collect("bFingerprint")) Then print = "null" Else print = "present"
    Say "  row " & rs.Collect("cPsn_Num") & " " & rs.Collect("iFingerprintNO") & " " & _
                 rs.Collect("imachineno") & " " & rs.Collect("npassword") & " " & print
    rs.MoveNext
  Loop
End Sub

Sub Scenario()
  Dim col, cdata, rs, msg, ok, item, n, port, terminal, person
  Set col = CreateObject("VantoHost.Collection")
  msg = ""
  ok = m.IMachine_funcRegister(col, True, 1, 2, "", "", 1, 3, msg)
  Show "funcRegister", ok, msg
  Say "machines " & col.Count
  For Each item In col
    Say "  machine " & item.MachineNo & " id " & item.MachineId & " port " & item.PortNo & " ip [" & item.IpAddress & "]"
  Next

  For Each n In Array(1, 2)
    If n = 1 Then port = 1: terminal = 1 Else port = 2: terminal = 3
    Set cdata = CreateObject("VantoHost.Collection")
    msg = ""
    ok = m.IMachine_DownloadCarddata(True, "", port, terminal, cdata, msg)
    Show "DownloadCarddata " & port & "/" & terminal, ok, msg
    Say "records " & cdata.Count
    For Each item In cdata
      Say "  record " & item.PersonNo & " " & TimeText(item.SwipeTime)
    Next
  Next

  ' A fingerprint and a password: read from terminal 1, written to terminal 2, read back.
  For Each person In Array("1002", "1001")
    Set rs = CreateObject("VantoHost.RowSet")
    msg = ""
    ok = m.IMachine_funcBackFingure(True, "", 1, 1, person, rs, msg)
    Show "funcBackFingure " & person, ok, msg
    ShowRows rs
    msg = ""
    ok = m.IMachine_funcReWrite(True, "", 1, 2, person, rs, msg)
    Show "funcReWrite " & person, ok, msg
    Set rs = CreateObject("VantoHost.RowSet")
    msg = ""
    ok = m.IMachine_funcBackFingure(True, "", 1, 2, person, rs, msg)
    Show "funcBackFingure again " & person, ok, msg
    ShowRows rs
  Next

  msg = ""
  ok = m.IMachine_funcWriteCard(True, "", 1, 1, col, msg)
  Show "funcWriteCard", ok, msg
  ok = m.IMachine_delCardData(True, "", 1, 1)
  Show "delCardData", ok, ""
End Sub

Sub Failure(which)
  Dim cdata, msg, ok, item
  Set cdata = CreateObject("VantoHost.Collection")
  msg = ""
  On Error Resume Next
  Select Case which
    Case "missing"
      ok = m.IMachine_DownloadCarddata(True, "", 1, 9, cdata, msg)
      Say "DownloadCarddata missing " & Truth(ok) & " [" & msg & "]"
    Case "bad"
      ok = m.IMachine_DownloadCarddata(True, "", "abc", 1, cdata, msg)
      Say "bad argument " & Hex(Err.Number) & " [" & Err.Description & "]"
    Case "few"
      ok = m.IMachine_delCardData(True, "", 1)
      Say "too few " & Hex(Err.Number) & " [" & Err.Description & "]"
    Case "nothing"
      ok = m.IMachine_DownloadCarddata(True, "", 1, 1, Nothing, msg)
      Say "nothing " & Hex(Err.Number) & " " & Truth(ok) & " [" & msg & "]"
    Case "unregistered"
      Set item = CreateObject("VANTO.NoSuchClass")
      Say "unregistered " & Hex(Err.Number)
    Case Else
      Say "no step " & which
  End Select
End Sub

Set m = CreateObject("VANTO.clsMachine")
If WScript.Arguments.Count = 0 Then
  Scenario
Else
  For i = 0 To WScript.Arguments.Count - 1  ' (Wine's Arguments cannot be enumerated)
    If WScript.Arguments(i) = "scenario" Then Scenario Else Failure WScript.Arguments(i)
  Next
End If
Say "done"
