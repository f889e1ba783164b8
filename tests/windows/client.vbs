' The driver through late binding, as a script host calls it: every IMachine_ method of
' VANTO.clsMachine, against the simulated site (tests/windows/site.seed). Port 1 is a serial line,
' port 2 a network line; both come from the control's settings. Prints one line per answer, in the
' same form as client.cpp, so the outputs compare line by line.
Option Explicit

Dim m, col, cdata, rs, msg, ok, item, n

Function Truth(ok)
  If ok Then Truth = "True" Else Truth = "False"
End Function

Sub Show(name, ok, msg)
  WScript.Echo name & " " & Truth(ok) & " [" & msg & "]"
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
  WScript.Echo "rows " & rs.RecordCount
  If rs.RecordCount = 0 Then Exit Sub
  rs.MoveFirst
  Do While Not rs.EOF
    Dim print
    ' (Wine's script engine cannot take a Byte() apart, so only its presence is shown.)
    If IsNull(rs.Collect("bFingerprint")) Then print = "null" Else print = "present"
    WScript.Echo "  row " & rs.Collect("cPsn_Num") & " " & rs.Collect("iFingerprintNO") & " " & _
                 rs.Collect("imachineno") & " " & rs.Collect("npassword") & " " & print
    rs.MoveNext
  Loop
End Sub

Set m = CreateObject("VANTO.clsMachine")

Set col = CreateObject("VantoHost.Collection")
msg = ""
ok = m.IMachine_funcRegister(col, True, 1, 2, "", "", 1, 3, msg)
Show "funcRegister", ok, msg
WScript.Echo "machines " & col.Count
For Each item In col
  WScript.Echo "  machine " & item.MachineNo & " id " & item.MachineId & " port " & item.PortNo & " ip [" & item.IpAddress & "]"
Next

For Each n In Array(1, 2)
  Dim port, terminal
  If n = 1 Then port = 1: terminal = 1 Else port = 2: terminal = 3
  Set cdata = CreateObject("VantoHost.Collection")
  msg = ""
  ok = m.IMachine_DownloadCarddata(True, "", port, terminal, cdata, msg)
  Show "DownloadCarddata " & port & "/" & terminal, ok, msg
  WScript.Echo "records " & cdata.Count
  For Each item In cdata
    WScript.Echo "  record " & item.PersonNo & " " & TimeText(item.SwipeTime)
  Next
Next

' A fingerprint and a password: read from terminal 1, written to terminal 2, read back.
Dim person
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


WScript.Echo "done"
